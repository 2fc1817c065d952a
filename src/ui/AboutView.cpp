#include "AboutView.h"

#include "AppInfo.h"
#include "Brand.h"

#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

namespace {
// Names and addresses stay as they are in every language; the sentences go through tr().
const auto productName = QStringLiteral("Vellora iMessage Importer");
const auto makerName = QStringLiteral("Vellora Labs");
const auto websiteDomain = QStringLiteral("vellora.app");
const auto websiteAddress = QStringLiteral("https://vellora.app");
const auto mailAddress = QStringLiteral("hello@vellora.app");
const auto mailtoAddress = QStringLiteral("mailto:hello@vellora.app");

BrandText *text(const QString &content, int pixelSize, QFont::Weight weight, const QColor &color)
{
    auto *label = new BrandText(content, pixelSize, weight);
    label->setColor(color);
    return label;
}
} // namespace

AboutView::AboutView(QWidget *parent)
    : QWidget(parent), m_openUrl([](const QUrl &url) { return QDesktopServices::openUrl(url); })
{
    setFixedSize(380, 460);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(32, 36, 32, 36);
    column->setSpacing(0);

    auto *logo = new BrandLogo(56);
    logo->setObjectName(QStringLiteral("aboutLogo"));
    column->addWidget(logo, 0, Qt::AlignHCenter);
    column->addSpacing(16);
    column->addWidget(text(productName, 20, QFont::Bold, Brand::ink100()));
    column->addSpacing(4);
    auto *version = text(versionLine(AppInfo::version(), AppInfo::build()), 12, QFont::Normal,
                         Brand::withOpacity(Brand::ink300(), 0.8));
    version->setObjectName(QStringLiteral("aboutVersion"));
    column->addWidget(version);
    column->addSpacing(14);
    auto *about = text(tr("Brings your iMessage history to Vellora."), 13, QFont::Normal, Brand::ink300());
    about->setMaxLineWidth(300);
    column->addWidget(about);
    column->addSpacing(20);

    auto *divider = new QFrame;
    divider->setFixedSize(220, 1);
    divider->setAutoFillBackground(true);
    QPalette dividerPalette = divider->palette();
    dividerPalette.setColor(QPalette::Window, Brand::withOpacity(Brand::ink300(), 0.15));
    divider->setPalette(dividerPalette);
    column->addWidget(divider, 0, Qt::AlignHCenter);
    column->addSpacing(20);

    column->addWidget(text(makerName, 13, QFont::DemiBold, Brand::ink100()));
    column->addSpacing(6);
    column->addWidget(text(tr("Lisbon, Portugal"), 12, QFont::Normal, Brand::ink300()));
    column->addSpacing(12);

    auto *links = new QHBoxLayout;
    links->setSpacing(16);
    links->addStretch();
    const auto addLink = [this, links](const QString &title, const QString &address, const char *name) {
        auto *link = new BrandLink(title);
        link->setObjectName(QLatin1String(name));
        connect(link, &QAbstractButton::clicked, this, [this, address] { m_openUrl(QUrl(address)); });
        links->addWidget(link);
    };
    addLink(websiteDomain, websiteAddress, "aboutWebsite");
    auto *separator = text(QStringLiteral("·"), 12, QFont::Medium, Brand::withOpacity(Brand::ink300(), 0.5));
    separator->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    links->addWidget(separator);
    addLink(mailAddress, mailtoAddress, "aboutMail");
    links->addStretch();
    column->addLayout(links);

    column->addStretch(1);
    column->addSpacing(12);
    column->addWidget(text(tr("© 2026 Vellora Labs"), 11, QFont::Normal, Brand::withOpacity(Brand::ink300(), 0.6)));
}

QString AboutView::versionLine(const QString &version, const QString &build)
{
    return tr("Version %1 (%2)").arg(version, build);
}

void AboutView::setOpenUrl(OpenUrl openUrl)
{
    m_openUrl = std::move(openUrl);
}

void AboutView::paintEvent(QPaintEvent *)
{
    QPainter(this).fillRect(rect(), Brand::surface());
}
