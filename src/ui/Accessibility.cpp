#include "Accessibility.h"

#include "Picker.h"

#include <QAccessibleWidget>
#include <QHash>
#include <QPointer>

#include <mutex>

namespace {

// Drawn for the eye only.
class DecorationAccessible : public QAccessibleWidget {
public:
    using QAccessibleWidget::QAccessibleWidget;
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.invisible = true;
        return s;
    }
};

class BusyAccessible : public QAccessibleWidget {
public:
    explicit BusyAccessible(QWidget *spinner) : QAccessibleWidget(spinner, QAccessible::ProgressBar) {}
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.busy = true;
        return s;
    }
};

// One conversation of the list: a list item named with its name and subtitle, pressed by its
// default action as a click would.
class RowAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    RowAccessible(ConversationList *list, int row) : m_list(list), m_row(row) {}

    bool isValid() const override { return m_list && m_list->model() && m_row < m_list->model()->rowCount(); }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return m_list ? m_list->window()->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override { return QAccessible::queryAccessibleInterface(m_list); }
    QAccessibleInterface *child(int) const override { return nullptr; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessibleInterface *focusChild() const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    void setText(QAccessible::Text, const QString &) override {}

    QString text(QAccessible::Text t) const override
    {
        if (t != QAccessible::Name || !isValid())
            return {};
        return m_list->model()->index(m_row, 0).data(Qt::AccessibleTextRole).toString();
    }

    QRect rect() const override
    {
        const Placed placed = place();
        if (!placed.viewport)
            return {};
        return {placed.viewport->mapToGlobal(placed.item.topLeft()), placed.item.size()};
    }

    QAccessible::State state() const override
    {
        QAccessible::State s;
        const Placed placed = place();
        s.invisible = !placed.viewport || !placed.viewport->isVisible() || !placed.viewport->rect().intersects(placed.item);
        s.offscreen = s.invisible;
        return s;
    }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface *>(this) : nullptr;
    }

    QStringList actionNames() const override { return {pressAction()}; }
    QStringList keyBindingsForAction(const QString &) const override { return {}; }
    void doAction(const QString &name) override
    {
        if (name == pressAction() && isValid())
            emit m_list->rowActivated(m_row);
    }

private:
    // Where the row is drawn: its viewport (null once the row is gone) and its rectangle there.
    // One read of the guarded pointer, so the checks hold for what is used.
    struct Placed {
        const QWidget *viewport = nullptr;
        QRect item;
    };
    Placed place() const
    {
        const ConversationList *list = m_list.data();
        const QAbstractItemModel *model = list ? list->model() : nullptr;
        if (!model || m_row >= model->rowCount() || !list->viewport())
            return {};
        return {list->viewport(), list->visualRect(model->index(m_row, 0))};
    }

    QPointer<ConversationList> m_list;
    int m_row;
};

class ListAccessible : public QAccessibleWidget {
public:
    explicit ListAccessible(ConversationList *list) : QAccessibleWidget(list, QAccessible::List) {}
    ~ListAccessible() override
    {
        for (QAccessible::Id id : std::as_const(m_rows))
            QAccessible::deleteAccessibleInterface(id);
    }

    ConversationList *list() const { return static_cast<ConversationList *>(widget()); }
    int childCount() const override { return list()->model() ? list()->model()->rowCount() : 0; }

    // Rows are made on demand and kept; each reads its row's current data.
    QAccessibleInterface *child(int index) const override
    {
        if (index < 0 || index >= childCount())
            return nullptr;
        if (auto found = m_rows.constFind(index); found != m_rows.constEnd())
            return QAccessible::accessibleInterface(*found);
        auto *row = new RowAccessible(list(), index);
        m_rows.insert(index, QAccessible::registerAccessibleInterface(row));
        return row;
    }

    int indexOfChild(const QAccessibleInterface *child) const override
    {
        for (auto it = m_rows.constBegin(); it != m_rows.constEnd(); ++it)
            if (QAccessible::accessibleInterface(it.value()) == child)
                return it.key();
        return -1;
    }

    QAccessibleInterface *childAt(int x, int y) const override
    {
        const int row = list()->rowAt(list()->viewport()->mapFromGlobal(QPoint(x, y)));
        return row >= 0 ? child(row) : nullptr;
    }

private:
    mutable QHash<int, QAccessible::Id> m_rows;
};

QAccessibleInterface *factory(const QString &className, QObject *object)
{
    auto *widget = qobject_cast<QWidget *>(object);
    if (!widget)
        return nullptr;
    if (className == QLatin1String("BrandHeader"))
        return new QAccessibleWidget(widget, QAccessible::Heading);  // named by its text
    if (className == QLatin1String("BrandText"))
        return new QAccessibleWidget(widget, QAccessible::StaticText);
    if (className == QLatin1String("BrandLogo"))
        return new DecorationAccessible(widget);
    if (className == QLatin1String("QrCodeView"))
        return new QAccessibleWidget(widget, QAccessible::Graphic);
    if (className == QLatin1String("Spinner"))
        return new BusyAccessible(widget);
    if (className == QLatin1String("ConversationList"))
        return new ListAccessible(static_cast<ConversationList *>(widget));
    return nullptr;
}

} // namespace

void Accessibility::install()
{
    static std::once_flag once;
    std::call_once(once, [] { QAccessible::installFactory(factory); });
}
