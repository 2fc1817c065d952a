#pragma once

#include <QUrl>
#include <QWidget>

#include <functional>

// The content of the About window: logo, name, version, maker and links, fixed 380 x 460.
class AboutView : public QWidget {
    Q_OBJECT
public:
    using OpenUrl = std::function<bool(const QUrl &)>;

    explicit AboutView(QWidget *parent = nullptr);

    // "Version <version> (<build>)" as a translatable template.
    static QString versionLine(const QString &version, const QString &build);
    // Replaces QDesktopServices::openUrl for the two links.
    void setOpenUrl(OpenUrl openUrl);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    OpenUrl m_openUrl;
};
