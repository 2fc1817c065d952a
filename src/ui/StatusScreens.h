#pragma once

#include <QImage>
#include <QWidget>

class BrandHeader;
class BrandSubtitle;
class Spinner;

// The QR code, nearest-neighbour at 220 x 220 whatever its own size, on a white rounded
// 252 x 252 square, 6 below the element's top.
class QrCodeView : public QWidget {
    Q_OBJECT

public:
    explicit QrCodeView(QWidget *parent = nullptr);
    void setImage(const QImage &image);
    const QImage &image() const { return m_image; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QImage m_image;
    QImage m_scaled;  // m_image at the last device pixel ratio, module edges kept sharp
};

class ScanScreen : public QWidget {
    Q_OBJECT

public:
    explicit ScanScreen(QWidget *parent = nullptr);
    // A null image shows the spinner in the code's place.
    void setImage(const QImage &image);

private:
    QrCodeView *m_code;
    QWidget *m_spinnerBox;
};

class WaitingScreen : public QWidget {
    Q_OBJECT

public:
    explicit WaitingScreen(QWidget *parent = nullptr);
    void setTexts(const QString &title, const QString &message);

private:
    BrandHeader *m_title;
    BrandSubtitle *m_message;
};

class DoneScreen : public QWidget {
    Q_OBJECT

public:
    explicit DoneScreen(QWidget *parent = nullptr);
};

class FailedScreen : public QWidget {
    Q_OBJECT

public:
    explicit FailedScreen(QWidget *parent = nullptr);
    void setMessage(const QString &message);

signals:
    void tryAgainClicked();

private:
    BrandSubtitle *m_message;
};

class UpdateScreen : public QWidget {
    Q_OBJECT

public:
    explicit UpdateScreen(QWidget *parent = nullptr);

signals:
    void downloadClicked();
};
