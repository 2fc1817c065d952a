#include "Picker.h"

#include "Brand.h"
#include "Centred.h"
#include "Transcript.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QProxyStyle>
#include <QScrollBar>
#include <QVBoxLayout>

#include <numeric>

namespace {

QString noConversations()
{
    return Picker::tr("No conversations found in Messages yet.");
}

QString noMatches()
{
    return Picker::tr("No matches \u2014 try a different name or number.");
}

bool isTrimmed(QChar c)
{
    return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space;
}

// Scroll bars drawn over the rows' edge, thin and shown while scrolling, as macOS draws them:
// a bar beside the rows would take their width.
class OverlayScrollBars : public QProxyStyle {
public:
    OverlayScrollBars() : QProxyStyle(QStringLiteral("Fusion")) {}
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        if (hint == SH_ScrollBar_Transient)
            return 1;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

} // namespace

QString ConversationSearch::needle(const QString &query)
{
    qsizetype begin = 0;
    qsizetype end = query.size();
    while (begin < end && isTrimmed(query[begin]))
        ++begin;
    while (end > begin && isTrimmed(query[end - 1]))
        --end;
    return query.mid(begin, end - begin).toLower();
}

ConversationListModel::ConversationListModel(QObject *parent) : QAbstractListModel(parent) {}

void ConversationListModel::setConversations(const QList<Conversation> &conversations)
{
    m_all = conversations;
    m_lowered.clear();
    m_handleStarts.clear();
    m_ends.clear();
    m_handleStarts.reserve(m_all.size());
    m_ends.reserve(m_all.size());
    for (const Conversation &c : std::as_const(m_all)) {
        m_lowered += c.displayName.toLower();
        m_lowered += QChar(0xFFFF);
        m_handleStarts.append(m_lowered.size());
        m_lowered += c.handle.toLower();
        m_lowered += QChar(0xFFFF);
        m_ends.append(m_lowered.size());
    }
    refilter();
}

void ConversationListModel::setQuery(const QString &query)
{
    QString next = ConversationSearch::needle(query);
    if (next == m_needle)
        return;
    m_needle = std::move(next);
    refilter();
}

void ConversationListModel::refilter()
{
    beginResetModel();
    m_rows.clear();
    if (m_needle.isEmpty()) {
        m_rows.resize(m_all.size());
        std::iota(m_rows.begin(), m_rows.end(), 0);
    } else {
        // One search through all lowered texts; a hit counts when it lies wholly inside one
        // conversation's name or handle, and the search goes on at the next conversation.
        const QStringView all(m_lowered);
        qsizetype entry = 0;
        qsizetype from = 0;
        while (entry < m_ends.size()) {
            const qsizetype at = all.indexOf(m_needle, from);
            if (at < 0)
                break;
            while (m_ends[entry] <= at)
                ++entry;
            const qsizetype end = at + m_needle.size();
            const qsizetype handleStart = m_handleStarts[entry];
            const bool inName = end < handleStart;
            const bool inHandle = at >= handleStart && end < m_ends[entry];
            if (inName || inHandle) {
                m_rows.append(entry);
                from = m_ends[entry];
            } else {
                from = at + 1;
            }
        }
    }
    endResetModel();
}

int ConversationListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant ConversationListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const Conversation &c = conversation(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return c.displayName;
    case subtitleRole:
        return ConversationRow::subtitle(c);
    case Qt::AccessibleTextRole:
        return tr("%1, %2").arg(c.displayName, ConversationRow::subtitle(c));
    default:
        return {};
    }
}

ConversationRow::ConversationRow(ConversationList *view)
    : QStyledItemDelegate(view), m_view(view), m_nameFont(Brand::font(15, QFont::DemiBold)),
      m_subtitleFont(Brand::font(12))
{
}

QString ConversationRow::subtitle(const Conversation &conversation)
{
    // Always the plural, whatever the count.
    const QString count = tr("%1 messages").arg(conversation.messageCount);
    if (!conversation.lastMessageDate)
        return count;
    return tr("%1 \u00B7 last %2").arg(count, DateFmt::monthYearFormatter().string(*conversation.lastMessageDate));
}

int ConversationRow::rowHeight() const
{
    return 11 + QFontMetrics(m_nameFont).height() + 3 + QFontMetrics(m_subtitleFont).height() + 11;
}

QSize ConversationRow::sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const
{
    // The view stretches every row to its width.
    return {1, rowHeight() + gap};
}

void ConversationRow::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QRectF card = m_view->cardRect(option.rect);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    if (index.row() == m_view->pressedRow())
        painter->setOpacity(0.7);  // a plain button's pressed feedback
    painter->fillPath(Brand::continuousRect(card, 12), Brand::surfaceCard());
    if (index.row() == m_view->hoveredRow()) {
        // Wholly inside the card's edge.
        painter->setPen(QPen(QBrush(Brand::gradient(card)), 1.5));
        painter->drawPath(Brand::continuousRect(card.adjusted(0.75, 0.75, -0.75, -0.75), 12 - 0.75));
    } else if ((option.state & QStyle::State_HasFocus) && m_view->hasFocus()) {
        // Keyboard focus: a quiet ring, distinct from the hover border.
        painter->setPen(QPen(Brand::withOpacity(Brand::ink300(), 0.5), 1));
        painter->drawPath(Brand::continuousRect(card.adjusted(0.5, 0.5, -0.5, -0.5), 12 - 0.5));
    }

    const QVariant trailing = index.data(ConversationListModel::symbolRole);
    const Symbol symbol = trailing.isValid() ? trailing.value<Symbol>() : Symbol::chevronRight;
    const QRectF chevronBox = Symbols::bounds(symbol, 12);
    const QPointF chevronAt(card.right() - 14 - chevronBox.width(), card.center().y() - chevronBox.height() / 2);
    painter->fillPath(Symbols::path(symbol, 12).translated(chevronAt - chevronBox.topLeft()),
                      Brand::withOpacity(Brand::ink300(), 0.6));

    // Text, then 12, a space of at least 8, then 12 before the chevron.
    const int textWidth = std::max(0, int(card.width() - 28 - chevronBox.width() - 32));
    const QFontMetrics nameMetrics(m_nameFont);
    const QFontMetrics subtitleMetrics(m_subtitleFont);
    const QRectF nameBox(card.x() + 14, card.y() + 11, textWidth, nameMetrics.height());
    const QRectF subtitleBox(nameBox.x(), nameBox.bottom() + 3, textWidth, subtitleMetrics.height());
    painter->setFont(m_nameFont);
    painter->setPen(Brand::ink100());
    painter->drawText(nameBox, Qt::AlignLeft | Qt::AlignVCenter,
                      nameMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, textWidth));
    painter->setFont(m_subtitleFont);
    painter->setPen(Brand::ink300());
    painter->drawText(subtitleBox, Qt::AlignLeft | Qt::AlignVCenter,
                      subtitleMetrics.elidedText(index.data(ConversationListModel::subtitleRole).toString(),
                                                 Qt::ElideRight, textWidth));
    painter->restore();
}

ConversationList::ConversationList(QWidget *parent) : QListView(parent)
{
    setUniformItemSizes(true);
    setVerticalScrollMode(ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(NoFrame);
    setSelectionMode(NoSelection);
    setEditTriggers(NoEditTriggers);
    // A click goes straight to the choice; focus only arrives by keyboard.
    setFocusPolicy(Qt::TabFocus);
    setMouseTracking(true);
    viewport()->setMouseTracking(true);
    viewport()->setAutoFillBackground(false);
    QPalette transparent = palette();
    transparent.setColor(QPalette::Base, Qt::transparent);
    setPalette(transparent);
    setItemDelegate(new ConversationRow(this));
    auto *overlay = new OverlayScrollBars;
    overlay->setParent(this);
    setStyle(overlay);
    verticalScrollBar()->setStyle(overlay);
}

QRectF ConversationList::cardRect(const QRect &itemRect) const
{
    const auto *row = static_cast<const ConversationRow *>(itemDelegate());
    const QScrollBar *bar = verticalScrollBar();
    // The indicator is drawn over the viewport's right edge; the cards end before it.
    const int indicator = bar->maximum() > 0 ? bar->sizeHint().width() + 2 : 0;
    return QRectF(itemRect.x() + ConversationRow::sidePadding, itemRect.y(),
                  itemRect.width() - 2 * ConversationRow::sidePadding - indicator, row->rowHeight());
}

int ConversationList::rowAt(QPoint viewportPos) const
{
    const QModelIndex index = indexAt(viewportPos);
    if (!index.isValid())
        return -1;
    return cardRect(visualRect(index)).contains(viewportPos) ? index.row() : -1;
}

void ConversationList::updateRow(int row)
{
    if (row >= 0 && model() && row < model()->rowCount())
        viewport()->update(visualRect(model()->index(row, 0)));
}

void ConversationList::setHovered(int row)
{
    if (row == m_hovered)
        return;
    updateRow(m_hovered);
    updateRow(row);
    m_hovered = row;
}

void ConversationList::updateHover()
{
    setHovered(m_pointer ? rowAt(*m_pointer) : -1);
}

void ConversationList::mouseMoveEvent(QMouseEvent *event)
{
    m_pointer = event->position().toPoint();
    updateHover();
    updateRow(m_pressed);
    QListView::mouseMoveEvent(event);
}

void ConversationList::mousePressEvent(QMouseEvent *event)
{
    m_pointer = event->position().toPoint();
    m_pressed = event->button() == Qt::LeftButton ? rowAt(*m_pointer) : -1;
    updateRow(m_pressed);
    QListView::mousePressEvent(event);
}

void ConversationList::mouseReleaseEvent(QMouseEvent *event)
{
    const int pressed = std::exchange(m_pressed, -1);
    updateRow(pressed);
    QListView::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && pressed >= 0 && rowAt(event->position().toPoint()) == pressed)
        emit rowActivated(pressed);
}

void ConversationList::mouseDoubleClickEvent(QMouseEvent *event)
{
    // The first click of the pair already chose; the second press must not choose again.
    updateRow(std::exchange(m_pressed, -1));
    event->accept();
}

bool ConversationList::viewportEvent(QEvent *event)
{
    if (event->type() == QEvent::Leave) {
        m_pointer.reset();
        setHovered(-1);
    }
    return QListView::viewportEvent(event);
}

void ConversationList::keyPressEvent(QKeyEvent *event)
{
    const int key = event->key();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) && currentIndex().isValid()
        && event->modifiers() == Qt::NoModifier) {
        event->accept();
        emit rowActivated(currentIndex().row());
        return;
    }
    QListView::keyPressEvent(event);
}

void ConversationList::scrollContentsBy(int dx, int dy)
{
    QListView::scrollContentsBy(dx, dy);
    updateHover();
}

void ConversationList::reset()
{
    // Rows built afresh start without hover; it returns when the pointer next moves.
    QListView::reset();
    m_hovered = -1;
    m_pressed = -1;
}

void ConversationList::updateGeometries()
{
    QListView::updateGeometries();
    // Every item carries the 8 below its card; the list ends 4 below the last card.
    QScrollBar *bar = verticalScrollBar();
    if (bar->maximum() > 0)
        bar->setMaximum(std::max(0, bar->maximum() - (ConversationRow::gap - 4)));
}

Picker::Picker(QWidget *parent)
    : QWidget(parent), m_model(new ConversationListModel(this)), m_list(new ConversationList),
      m_search(new QLineEdit), m_emptyBox(new QWidget), m_emptyText(new BrandText(noConversations(), 13))
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins({});
    column->setSpacing(14);
    column->addWidget(new BrandHeader(tr("Who's it about?")));
    column->addWidget(new BrandSubtitle(
        tr("Pick the conversation you want Vellora to analyse. Only this one ever leaves your Mac.")));

    auto *box = new FieldCard;
    auto *boxRow = new QHBoxLayout(box);
    boxRow->setContentsMargins(14, 10, 14, 10);
    boxRow->setSpacing(8);
    auto *magnifier = new SymbolView(Symbol::magnifyingGlass, 13);
    magnifier->setColor(Brand::ink300());
    boxRow->addWidget(magnifier, 0, Qt::AlignVCenter);
    m_search->setObjectName(QStringLiteral("search"));
    Brand::styleField(m_search);
    m_search->setPlaceholderText(tr("Search by name or number"));
    m_search->setAccessibleName(m_search->placeholderText());
    boxRow->addWidget(m_search, 1, Qt::AlignVCenter);
    column->addLayout(centred(box, 440));

    m_list->setObjectName(QStringLiteral("conversations"));
    m_list->setAccessibleName(tr("Conversations"));
    m_list->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    m_list->setModel(m_model);
    column->addLayout(centred(m_list, 460), 1);

    auto *emptyColumn = new QVBoxLayout(m_emptyBox);
    emptyColumn->setContentsMargins(0, 20, 0, 0);
    m_emptyText->setObjectName(QStringLiteral("emptyText"));
    m_emptyText->setColor(Brand::ink300());
    emptyColumn->addWidget(m_emptyText);
    column->addWidget(m_emptyBox);

    connect(m_search, &QLineEdit::textChanged, this, [this](const QString &text) {
        m_model->setQuery(text);
        updateContent();
    });
    connect(m_list, &ConversationList::rowActivated, this,
            [this](int row) { emit chosen(m_model->conversation(row)); });
    updateContent();
}

void Picker::setConversations(const QList<Conversation> &conversations)
{
    m_model->setConversations(conversations);
    updateContent();
}

QString Picker::query() const
{
    return m_search->text();
}

bool Picker::showsList() const
{
    return m_model->rowCount() > 0;
}

void Picker::updateContent()
{
    const bool list = showsList();
    m_emptyText->setText(m_model->hasConversations() ? noMatches() : noConversations());
    const bool changed = m_list->isHidden() == list || m_emptyBox->isHidden() != list;
    m_list->setHidden(!list);
    m_emptyBox->setHidden(list);
    if (changed)
        emit showsListChanged();
}
