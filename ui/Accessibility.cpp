#include "ui/Accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QEvent>
#include <QPushButton>
#include <QVariant>

#include "ui/StyleSheets.h"

namespace {

// Dynamic properties read by the factory below.
const char *const kStatusText = "corvaneStatusText";
const char *const kRowMember = "corvaneRowMember";

// The window, with the arrows left out of its children: their row stands in
// for them.
class WindowAccessible : public QAccessibleWidget {
public:
    explicit WindowAccessible(QWidget *window) : QAccessibleWidget(window, QAccessible::Dialog) {}

    int childCount() const override { return int(visibleChildren().size()); }

    QAccessibleInterface *child(int index) const override {
        const QList<QWidget *> children = visibleChildren();
        if (index < 0 || index >= children.size())
            return nullptr;
        return QAccessible::queryAccessibleInterface(children.at(index));
    }

    int indexOfChild(const QAccessibleInterface *child) const override {
        if (!child || !child->object() || !child->object()->isWidgetType())
            return -1;
        return int(visibleChildren().indexOf(static_cast<QWidget *>(child->object())));
    }

private:
    QList<QWidget *> visibleChildren() const {
        QList<QWidget *> list;
        for (QObject *object : widget()->children()) {
            auto *child = qobject_cast<QWidget *>(object);
            if (child && !child->isWindow() && !child->property(kRowMember).toBool() &&
                !child->objectName().startsWith(QLatin1String("qt_")))
                list.append(child);
        }
        return list;
    }
};

QAccessibleInterface *corvaneInterface(const QString &className, QObject *object) {
    if (className == QLatin1String("MainWindow") && object && object->isWidgetType())
        return new WindowAccessible(static_cast<QWidget *>(object));
    if (className == QLatin1String("QPushButton") && object->property(kStatusText).toBool())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::StaticText);
    return nullptr;
}

} // namespace

namespace a11y {

void installFactory() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    QAccessible::installFactory(corvaneInterface);
}

void describe(QWidget *widget, const QString &name) {
    widget->setAccessibleName(name);
    widget->setToolTip(name);
}

void markAsStatusText(QPushButton *button) {
    button->setProperty(kStatusText, true);
    button->setFocusPolicy(Qt::NoFocus);
}

} // namespace a11y

ArrowRowIndicator::ArrowRowIndicator(QWidget *window, const std::array<QPushButton *, 6> &arrows,
                                     const QString &name)
    : QProgressBar(window), arrows(arrows) {
    setRange(0, int(arrows.size()));
    setValue(0);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    setAccessibleName(name);
    QRect area;
    for (QPushButton *arrow : arrows) {
        area = area.united(arrow->geometry());
        arrow->setProperty(kRowMember, true);
        arrow->setFocusPolicy(Qt::NoFocus);
        arrow->installEventFilter(this);
    }
    setRowTip(QString());
    setGeometry(area);
    followArrows();
}

void ArrowRowIndicator::setRowTip(const QString &detail) {
    tip = detail.isEmpty() ? accessibleName() : accessibleName() + QLatin1Char('\n') + detail;
    for (QWidget *widget : rowWidgets())
        widget->setToolTip(tip);
}

QList<QWidget *> ArrowRowIndicator::rowWidgets() const {
    QList<QWidget *> widgets{const_cast<ArrowRowIndicator *>(this)};
    for (QPushButton *arrow : arrows)
        widgets.append(arrow);
    return widgets;
}

bool ArrowRowIndicator::eventFilter(QObject *watched, QEvent *event) {
    // Every change of an arrow's style sheet arrives as a style change.
    if (event->type() == QEvent::StyleChange)
        followArrows();
    return QProgressBar::eventFilter(watched, event);
}

void ArrowRowIndicator::followArrows() {
    const QString lit = QString::fromUtf8(styles::kArrowLit);
    int reached = 0;
    for (int step = 1; step <= int(arrows.size()); ++step)
        if (arrows[step - 1]->styleSheet() == lit)
            reached = step;
    if (reached != value())
        setValue(reached);
}
