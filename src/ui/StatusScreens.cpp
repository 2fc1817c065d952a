#include "StatusScreens.h"

#include "Brand.h"

#include <QPainter>
#include <QVBoxLayout>

namespace {

constexpr int codeSide = 220;
constexpr int codePadding = 16;
constexpr int codeSquare = codeSide + 2 * codePadding;
constexpr int codeTop = 6;

QVBoxLayout *column(QWidget *screen)
{
    auto *layout = new QVBoxLayout(screen);
    layout->setContentsMargins({});
    layout->setSpacing(18);
    return layout;
}

SymbolView *icon(Symbol symbol, qreal size)
{
    auto *view = new SymbolView(symbol, size);
    view->setObjectName(QStringLiteral("icon"));
    return view;
}

} // namespace

QrCodeView::QrCodeView(QWidget *parent) : QWidget(parent)
{
    setFixedSize(codeSquare, codeTop + codeSquare);
    setAccessibleName(tr("QR code"));
    setAccessibleDescription(tr("Scan this code with the Vellora app on your phone."));
}

void QrCodeView::setImage(const QImage &image)
{
    m_image = image;
    m_scaled = QImage();
    update();
}

void QrCodeView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF square(0, codeTop, codeSquare, codeSquare);
    painter.fillPath(Brand::continuousRect(square, 16), Qt::white);
    if (m_image.isNull())
        return;

    // Scaled once to whole device pixels, so no module is blurred or resampled again.
    // The device transform's scale: the screen's ratio, or an image's when rendered into one.
    const qreal ratio = painter.deviceTransform().m11();
    const int devicePixels = qRound(codeSide * ratio);
    if (m_scaled.width() != devicePixels) {
        m_scaled = m_image.scaled(devicePixels, devicePixels, Qt::IgnoreAspectRatio, Qt::FastTransformation);
        m_scaled.setDevicePixelRatio(ratio);
    }
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(QPointF(codePadding, codeTop + codePadding), m_scaled);
}

ScanScreen::ScanScreen(QWidget *parent) : QWidget(parent), m_code(new QrCodeView), m_spinnerBox(new QWidget)
{
    QVBoxLayout *layout = column(this);
    layout->addWidget(new BrandHeader(tr("Scan this with Vellora")));
    layout->addWidget(new BrandSubtitle(tr(
        "When you're ready, pick iMessage as your source in the Vellora app \u2014 then scan this code with your phone.")));
    m_code->setObjectName(QStringLiteral("qrCode"));
    layout->addWidget(m_code, 0, Qt::AlignHCenter);
    auto *spinnerLayout = new QVBoxLayout(m_spinnerBox);
    spinnerLayout->setContentsMargins(40, 40, 40, 40);
    spinnerLayout->addWidget(new Spinner, 0, Qt::AlignHCenter);
    layout->addWidget(m_spinnerBox, 0, Qt::AlignHCenter);
    setImage({});
}

void ScanScreen::setImage(const QImage &image)
{
    m_code->setImage(image);
    m_code->setHidden(image.isNull());
    m_spinnerBox->setHidden(!image.isNull());
}

WaitingScreen::WaitingScreen(QWidget *parent)
    : QWidget(parent), m_title(new BrandHeader({})), m_message(new BrandSubtitle({}))
{
    QVBoxLayout *layout = column(this);
    layout->addWidget(m_title);
    layout->addWidget(m_message);
    layout->addSpacing(8);
    layout->addWidget(new Spinner, 0, Qt::AlignHCenter);
}

void WaitingScreen::setTexts(const QString &title, const QString &message)
{
    m_title->setText(title);
    m_message->setText(message);
}

DoneScreen::DoneScreen(QWidget *parent) : QWidget(parent)
{
    QVBoxLayout *layout = column(this);
    layout->addWidget(icon(Symbol::checkmarkCircleFill, 44), 0, Qt::AlignHCenter);
    layout->addWidget(new BrandHeader(tr("All set")));
    layout->addWidget(new BrandSubtitle(tr(
        "We've handed your conversation to Vellora. Head back to your phone \u2014 your story's being written.")));
    auto *note = new BrandNote(tr("Done for now? You can drag this app to the Trash \u2014 or keep it for "
                                  "the next chat you want to analyze. It never runs on its own."));
    note->setMaxLineWidth(360);
    layout->addSpacing(4);
    layout->addWidget(note);
}

FailedScreen::FailedScreen(QWidget *parent) : QWidget(parent), m_message(new BrandSubtitle({}))
{
    QVBoxLayout *layout = column(this);
    SymbolView *warning = icon(Symbol::exclamationTriangleFill, 36);
    warning->setColor(Brand::alert());
    layout->addWidget(warning, 0, Qt::AlignHCenter);
    layout->addWidget(new BrandHeader(tr("That didn't take")));
    layout->addWidget(m_message);
    auto *retry = new BrandButton(tr("Try again"));
    layout->addWidget(retry, 0, Qt::AlignHCenter);
    connect(retry, &QAbstractButton::clicked, this, &FailedScreen::tryAgainClicked);
}

void FailedScreen::setMessage(const QString &message)
{
    m_message->setText(message);
}

UpdateScreen::UpdateScreen(QWidget *parent) : QWidget(parent)
{
    QVBoxLayout *layout = column(this);
    layout->addWidget(icon(Symbol::arrowDownCircleFill, 40), 0, Qt::AlignHCenter);
    layout->addWidget(new BrandHeader(tr("Time for an update")));
    layout->addWidget(new BrandSubtitle(tr(
        "This importer's fallen behind the Vellora app. Grab the latest version and pick up right where you left off.")));
    auto *download = new BrandButton(tr("Download the latest"));
    layout->addWidget(download, 0, Qt::AlignHCenter);
    connect(download, &QAbstractButton::clicked, this, &UpdateScreen::downloadClicked);
}
