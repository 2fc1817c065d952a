#pragma once

#include "Models.h"

#include <QAbstractListModel>
#include <QFont>
#include <QListView>
#include <QStyledItemDelegate>
#include <QWidget>

#include <optional>

class BrandText;
class QLineEdit;

namespace ConversationSearch {
// The query with leading and trailing space separators and tabs removed, in lower case.
QString needle(const QString &query);
}

// The conversations that pass the search, in the controller's order. Names and handles are
// lower-cased once per list into one text, so a keystroke is one substring search through it.
class ConversationListModel : public QAbstractListModel {
    Q_OBJECT

public:
    // symbolRole: the Symbol at the card's end in place of the chevron (for other lists' rows).
    enum Role { subtitleRole = Qt::UserRole + 1, symbolRole };

    explicit ConversationListModel(QObject *parent = nullptr);

    void setConversations(const QList<Conversation> &conversations);
    void setQuery(const QString &query);
    bool hasConversations() const { return !m_all.isEmpty(); }
    const Conversation &conversation(int row) const { return m_all[m_rows[row]]; }

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;

private:
    void refilter();

    QList<Conversation> m_all;
    // Every name and handle lower-cased, each followed by U+FFFF, in one text.
    QString m_lowered;
    QList<qsizetype> m_handleStarts;  // per conversation, into m_lowered
    QList<qsizetype> m_ends;          // per conversation: where the next one starts
    QString m_needle;
    QList<qsizetype> m_rows;  // indexes into m_all
};

class ConversationList;

// Paints one conversation: a card with the name, the subtitle and a chevron, bordered with
// the gradient while the pointer is over it.
class ConversationRow : public QStyledItemDelegate {
    Q_OBJECT

public:
    static constexpr int gap = 8;         // between rows
    static constexpr int sidePadding = 2; // of the list, left and right

    explicit ConversationRow(ConversationList *view);

    static QString subtitle(const Conversation &conversation);
    int rowHeight() const;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    ConversationList *m_view;
    QFont m_nameFont;
    QFont m_subtitleFont;
};

// The list view: tracks the row under the pointer itself (the gaps between rows belong to no
// row) and activates a row on a click or on Space, Return or Enter.
class ConversationList : public QListView {
    Q_OBJECT

public:
    explicit ConversationList(QWidget *parent = nullptr);

    int hoveredRow() const { return m_hovered; }
    // The row held down by the pointer and still under it (drawn dimmed); -1 when none.
    int pressedRow() const { return m_pressed >= 0 && m_pointer && rowAt(*m_pointer) == m_pressed ? m_pressed : -1; }
    // The card of the item at `itemRect`: inside the side padding, and clear of the scroll
    // indicator while it shows.
    QRectF cardRect(const QRect &itemRect) const;
    // The row whose card lies under a viewport point; -1 over a gap or outside.
    int rowAt(QPoint viewportPos) const;
    void reset() override;

signals:
    void rowActivated(int row);

protected:
    void mouseMoveEvent(QMouseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    bool viewportEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void updateGeometries() override;

private:
    void setHovered(int row);
    void updateHover();
    void updateRow(int row);

    int m_hovered = -1;
    int m_pressed = -1;
    std::optional<QPoint> m_pointer;  // viewport position while the pointer is inside
};

// The picker screen: header, subtitle, search box and the list (or its empty-state text).
class Picker : public QWidget {
    Q_OBJECT

public:
    explicit Picker(QWidget *parent = nullptr);

    void setConversations(const QList<Conversation> &conversations);
    QString query() const;
    // Whether the list is shown (and so takes the spare height) rather than the empty text.
    bool showsList() const;

    ConversationList *list() const { return m_list; }

signals:
    void chosen(const Conversation &conversation);
    void showsListChanged();

private:
    void updateContent();

    ConversationListModel *m_model;
    ConversationList *m_list;
    QLineEdit *m_search;
    QWidget *m_emptyBox;
    BrandText *m_emptyText;
};
