#pragma once
// What assistive tools (screen readers, AT-SPI clients) learn about the
// window: plain names for the image buttons and fields, the indicator and the
// version line as read-only texts, and each row of six arrows as one progress
// indicator instead of six unnamed buttons.

#include <QList>
#include <QProgressBar>
#include <QString>
#include <array>

class QPushButton;
class QWidget;

namespace a11y {

// Registers the window's accessibility interfaces; idempotent.
void installFactory();

// Gives a control its accessible name and the same words as tool tip.
void describe(QWidget *widget, const QString &name);

// A push button that only shows something (clicking it does nothing) is
// announced as a text, not as a button.
void markAsStatusText(QPushButton *button);

} // namespace a11y

// Stands in for a row of six progress arrows towards assistive tools: its
// value is the highest lit step (0 to 6), kept in step with the arrows' style
// sheets. It paints nothing and lets every mouse event through to the arrows,
// so the window looks and behaves as without it.
class ArrowRowIndicator : public QProgressBar {
    Q_OBJECT

public:
    ArrowRowIndicator(QWidget *window, const std::array<QPushButton *, 6> &arrows,
                      const QString &name);

    // The six arrows and the indicator itself: where the row's tool tip goes.
    QList<QWidget *> rowWidgets() const;
    // The row's tool tip when no job runs: its name, and below it `detail`
    // when there is one (the chosen image's checksum).
    void setRowTip(const QString &detail);
    QString rowTip() const { return tip; }

protected:
    void paintEvent(QPaintEvent *) override {}
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void followArrows();

    std::array<QPushButton *, 6> arrows;
    QString tip;
};
