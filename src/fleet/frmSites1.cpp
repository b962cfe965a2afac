#include "fleet/frmSites1.h"
#include "fleet/frmSiteSettings1.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "graph/modGraph1.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/Geometry.h"
#include "platform/Paths.h"

#include <QAccessible>
#include <QAction>
#include <QCloseEvent>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMdiSubWindow>
#include <QPainter>
#include <QPainterPath>
#include <QHelpEvent>
#include <QStyledItemDelegate>
#include <QToolTip>
#include <QVBoxLayout>

namespace {
frmSites1 *s_frmSites1 = nullptr; // only the registration, m_form, sets it
}
frmSites1 *const &g_frmSites1 = s_frmSites1;

namespace {
constexpr int kDefaultWidthPx = 900, kDefaultHeightPx = 520;
constexpr int kMinWidthPx = 560, kMinHeightPx = 300;
// The default widths of the columns, in pixels; a stored width is kept within these bounds.
constexpr int kDefaultWidths[SiteTableModel::ColumnCount] = {170, 90, 130, 130, 90, 100, 140, 90};
constexpr int kMinColumnPx = 24, kMaxColumnPx = 2000;

const QString kTitle = QStringLiteral("ｻｲﾄ一覧ﾊﾟﾈﾙ");

QColor classicColour(qint32 c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

// The trend column (a line over the hour) and the lamps of the outputs (in the graph window's
// output colours, grey when off), over the cell's own background.
class SiteCellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    // Lamp n (0-7) of an outputs cell whose inner rect is r.
    static QRectF lampRect(const QRect &r, int n)
    {
        // Room for the rings around it.
        const int d = qMax(4, qMin(r.height() - 7, r.width() / 8 - 7));
        return QRectF(r.x() + n * (r.width() / 8) + 3.5, r.y() + (r.height() - d) / 2 + 0.5, d, d);
    }
    // The lamp under the pointer names its output: "出力3: ON".
    bool helpEvent(QHelpEvent *e, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override
    {
        if (e->type() != QEvent::ToolTip || index.column() != SiteTableModel::ColOutputs)
            return QStyledItemDelegate::helpEvent(e, view, option, index);
        const QRect r = option.rect.adjusted(4, 3, -4, -3);
        const int n = r.width() >= 8 ? qBound(0, (e->pos().x() - r.x()) * 8 / r.width(), 7) : 0;
        QString tip = SiteTableModel::lampText(index.data(SiteTableModel::kOutputsRole).toInt(), n + 1);
        const QString all = index.data(Qt::ToolTipRole).toString();
        if (const qsizetype note = all.lastIndexOf(QStringLiteral(" (古い値 ")); note >= 0)
            tip += all.mid(note);
        QToolTip::showText(e->globalPos(), tip, view, view->visualRect(index));
        return true;
    }
    void paint(QPainter *p, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const int c = index.column();
        if (c != SiteTableModel::ColTrend && c != SiteTableModel::ColOutputs) {
            QStyledItemDelegate::paint(p, option, index);
            return;
        }
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        opt.text.clear();
        const QWidget *w = option.widget;
        QStyle *style = w ? w->style() : nullptr;
        if (style)
            style->drawControl(QStyle::CE_ItemViewItem, &opt, p, w);
        const QRect r = option.rect.adjusted(4, 3, -4, -3);
        p->save();
        p->setRenderHint(QPainter::Antialiasing);
        const bool stale = index.data(SiteTableModel::kStaleRole).toBool();
        if (c == SiteTableModel::ColOutputs) {
            const int bits = index.data(SiteTableModel::kOutputsRole).toInt();
            for (int n = 0; n < 8; ++n) {
                const bool on = bits >= 0 && ((bits >> n) & 1);
                QColor fill = on ? classicColour(g_lngColor[n + 1]) : QColor(110, 110, 110);
                // No longer current: the lamp greyed (paler, its colour half gone).
                if (stale)
                    fill = on ? QColor::fromHsv(fill.hsvHue(), fill.hsvSaturation() / 3, qMax(170, fill.value()))
                              : QColor(185, 185, 185);
                // A light ring outside a dark one: the lamp stands out on a red, yellow, grey
                // or white row whatever its own colour.
                const QRectF lamp = lampRect(r, n);
                p->setPen(Qt::NoPen);
                p->setBrush(QColor(255, 255, 255));
                p->drawEllipse(lamp.adjusted(-3.5, -3.5, 3.5, 3.5));
                p->setBrush(QColor(30, 30, 30));
                p->drawEllipse(lamp.adjusted(-1.5, -1.5, 1.5, 1.5));
                p->setBrush(fill);
                p->drawEllipse(lamp);
            }
        } else {
            const QList<QPointF> pts = index.data(SiteTableModel::kTrendRole).value<QList<QPointF>>();
            if (pts.size() >= 2) {
                double lo = pts.first().y(), hi = lo;
                for (const QPointF &q : pts) {
                    lo = qMin(lo, q.y());
                    hi = qMax(hi, q.y());
                }
                if (hi - lo < 1e-9) {
                    lo -= 1;
                    hi += 1;
                }
                // Up to now, so a site that fell silent ends short of the right; over the hour, or
                // over what there is of it while the hour is not yet full.
                const double t1 = qMax(double(clockService().elapsedMs()), pts.last().x() + 1);
                const double t0 = qMax(t1 - double(SiteBoard::kTrendSpanMs), pts.first().x());
                QPainterPath path;
                for (int i = 0; i < pts.size(); ++i) {
                    const QPointF q(r.x() + (pts[i].x() - t0) / (t1 - t0) * r.width(),
                                    r.bottom() - (pts[i].y() - lo) / (hi - lo) * r.height());
                    i ? path.lineTo(q) : path.moveTo(q);
                }
                p->setClipRect(r.adjusted(-1, -1, 1, 1));
                p->setPen(QPen((opt.state & QStyle::State_Selected) || index.data(Qt::ForegroundRole).isValid()
                                   ? opt.palette.color(QPalette::HighlightedText)
                               : stale ? QColor(150, 150, 150)
                                       : QColor(0, 90, 200),
                               1.5));
                p->setBrush(Qt::NoBrush);
                p->drawPath(path);
            }
        }
        p->restore();
    }
};

} // namespace

// ---------------------------------------------------------------- the filter

void SiteFilterModel::setText(const QString &text)
{
    m_text = text.trimmed();
    // The rows shown change; those the filter lets in again would come last: the rows are
    // sorted again at once.
    takeKeys(sortColumn());
    invalidateFilter();
    if (sortColumn() >= 0)
        QSortFilterProxyModel::sort(sortColumn(), sortOrder());
    m_keys.clear();
}

void SiteFilterModel::takeKeys(int column)
{
    m_keys.clear();
    const QAbstractItemModel *src = sourceModel();
    if (!src || column < 0 || column >= src->columnCount())
        return;
    const int rows = src->rowCount();
    m_keys.reserve(rows);
    for (int r = 0; r < rows; ++r)
        m_keys << src->index(r, column).data(sortRole());
}

void SiteFilterModel::sort(int column, Qt::SortOrder order)
{
    takeKeys(column);
    QSortFilterProxyModel::sort(column, order);
    m_keys.clear();
}

int SiteFilterModel::naturalCompare(const QString &a, const QString &b)
{
    const auto digit = [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); };
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            qsizetype i2 = i, j2 = j;
            while (i2 < a.size() && digit(a[i2]))
                ++i2;
            while (j2 < b.size() && digit(b[j2]))
                ++j2;
            QStringView na = QStringView(a).mid(i, i2 - i), nb = QStringView(b).mid(j, j2 - j);
            while (na.size() > 1 && na.front() == QLatin1Char('0'))
                na = na.mid(1);
            while (nb.size() > 1 && nb.front() == QLatin1Char('0'))
                nb = nb.mid(1);
            if (na.size() != nb.size())
                return na.size() < nb.size() ? -1 : 1;
            if (const int c = na.compare(nb))
                return c;
            i = i2;
            j = j2;
            continue;
        }
        const char32_t ca = a[i].toCaseFolded().unicode(), cb = b[j].toCaseFolded().unicode();
        if (ca != cb)
            return ca < cb ? -1 : 1;
        ++i;
        ++j;
    }
    const qsizetype ra = a.size() - i, rb = b.size() - j;
    return ra == rb ? 0 : ra < rb ? -1 : 1;
}

bool SiteFilterModel::lessThan(const QModelIndex &a, const QModelIndex &b) const
{
    const bool kept = a.row() < m_keys.size() && b.row() < m_keys.size();
    const QVariant va = kept ? m_keys.at(a.row()) : a.data(sortRole());
    const QVariant vb = kept ? m_keys.at(b.row()) : b.data(sortRole());
    if (va.typeId() == QMetaType::QString && vb.typeId() == QMetaType::QString)
        return naturalCompare(va.toString(), vb.toString()) < 0; // "観測所2" before "観測所10"
    // As the proxy's own: a value before none, numbers as numbers of the left one's type.
    if (!va.isValid() || !vb.isValid())
        return va.isValid();
    switch (va.typeId()) {
    case QMetaType::Int:
    case QMetaType::Bool: return va.toInt() < vb.toInt();
    case QMetaType::UInt: return va.toUInt() < vb.toUInt();
    case QMetaType::LongLong: return va.toLongLong() < vb.toLongLong();
    case QMetaType::ULongLong: return va.toULongLong() < vb.toULongLong();
    case QMetaType::Float:
    case QMetaType::Double: return va.toDouble() < vb.toDouble();
    default: break;
    }
    return va.toString().compare(vb.toString(), sortCaseSensitivity()) < 0;
}

bool SiteFilterModel::filterAcceptsRow(int row, const QModelIndex &parent) const
{
    if (m_text.isEmpty())
        return true;
    const QModelIndex i = sourceModel()->index(row, SiteTableModel::ColSite, parent);
    return i.data(SiteTableModel::kNameRole).toString().contains(m_text, Qt::CaseInsensitive) ||
           i.data(Qt::DisplayRole).toString().contains(m_text, Qt::CaseInsensitive);
}

// ---------------------------------------------------------------- the broker dialog

frmSiteBroker1::frmSiteBroker1(const SiteSource &s, QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("取得元設定"));
    auto *form = new QFormLayout;
    const auto edit = [&](QLineEdit *&e, const QString &caption, const QString &text) {
        e = new QLineEdit(text, this);
        e->setMaxLength(1000);
        e->setAccessibleName(caption);
        form->addRow(caption, e);
    };
    edit(UrlEdit, QStringLiteral("ｱﾄﾞﾚｽ(URL)"), s.url);
    UrlEdit->setPlaceholderText(QStringLiteral("mqtt://127.0.0.1:1883"));
    edit(PrefixEdit, QStringLiteral("ﾄﾋﾟｯｸ接頭辞"), s.topicPrefix);
    edit(UserEdit, QStringLiteral("ﾕｰｻﾞ名"), s.username);
    edit(PasswordFileEdit, QStringLiteral("ﾊﾟｽﾜｰﾄﾞﾌｧｲﾙ"), s.passwordFile);
    // The second source: a watcher's configuration file, whose sites this window polls.
    WatchFileEdit = new QLineEdit(s.watchFile, this);
    WatchFileEdit->setMaxLength(1000);
    WatchFileEdit->setAccessibleName(QStringLiteral("監視設定ﾌｧｲﾙ"));
    BrowseButton = new QPushButton(QStringLiteral("参照(&R)..."), this);
    connect(BrowseButton, &QPushButton::clicked, this, [this] {
        FileDialogRequest req;
        req.title = QStringLiteral("監視設定ﾌｧｲﾙを開く");
        req.filter = QStringLiteral("設定ﾌｧｲﾙ (*.ini)|*.ini|すべてのﾌｧｲﾙ (*.*)|*.*");
        req.flags = cdlOFNFileMustExist | cdlOFNHideReadOnly | cdlOFNPathMustExist;
        req.initDir = WatchFileEdit->text().isEmpty() ? DataFolder() : WatchFileEdit->text();
        const std::optional<QString> path = dialogs().openFile(req);
        if (path && !path->isEmpty())
            WatchFileEdit->setText(*path);
    });
    auto *fileRow = new QHBoxLayout;
    fileRow->addWidget(WatchFileEdit, 1);
    fileRow->addWidget(BrowseButton);
    form->addRow(QStringLiteral("監視設定ﾌｧｲﾙ"), fileRow);
    OkButton = new QPushButton(QStringLiteral("OK"), this);
    OkButton->setDefault(true);
    CancelButton = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);
    connect(OkButton, &QPushButton::clicked, this, &frmSiteBroker1::accept);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OkButton);
    buttons->addWidget(CancelButton);
    auto *v = new QVBoxLayout(this);
    v->addLayout(form);
    v->addLayout(buttons);
    setMinimumWidth(420);
}

SiteSource frmSiteBroker1::source() const
{
    SiteSource s;
    s.url = UrlEdit->text().trimmed();
    s.topicPrefix = PrefixEdit->text().trimmed();
    s.username = UserEdit->text().trimmed();
    s.passwordFile = PasswordFileEdit->text().trimmed();
    s.watchFile = WatchFileEdit->text().trimmed();
    return s;
}

void frmSiteBroker1::accept()
{
    const SiteSource s = source();
    QString why;
    MqttUrl url;
    if (!s.url.isEmpty() && !ParseMqttUrl(s.url, &url, &why)) {
        MsgBox(QStringLiteral("ﾌﾞﾛｰｶのｱﾄﾞﾚｽが正しくありません。") + vbCrLf + why, vbOKOnly + vbExclamation,
               windowTitle());
        UrlEdit->setFocus();
        return;
    }
    if (s.topicPrefix.isEmpty() || s.topicPrefix.contains(QLatin1Char('+')) || s.topicPrefix.contains(QLatin1Char('#'))) {
        MsgBox(QStringLiteral("ﾄﾋﾟｯｸ接頭辞が正しくありません。"), vbOKOnly + vbExclamation, windowTitle());
        PrefixEdit->setFocus();
        return;
    }
    if (!s.watchFile.isEmpty()) {
        QStringList faults;
        if (!LoadWatchConfig(s.watchFile, DataFolder(), &faults)) {
            MsgBox(QStringLiteral("監視設定ﾌｧｲﾙを使用できません。") + vbCrLf + faults.mid(0, 10).join(vbCrLf),
                   vbOKOnly + vbExclamation, windowTitle());
            WatchFileEdit->setFocus();
            return;
        }
    }
    QDialog::accept();
}

// ---------------------------------------------------------------- the shelve dialog

frmSiteShelve1::frmSiteShelve1(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("一時抑制"));
    DurationCombo = new QComboBox(this);
    DurationCombo->addItem(QStringLiteral("15分"), 15);
    DurationCombo->addItem(QStringLiteral("1時間"), 60);
    DurationCombo->addItem(QStringLiteral("8時間"), 480);
    DurationCombo->setAccessibleName(QStringLiteral("抑制時間"));
    ReasonEdit = new QLineEdit(this);
    ReasonEdit->setMaxLength(AlarmBook::kMaxReason);
    ReasonEdit->setAccessibleName(QStringLiteral("理由"));
    auto *durationLabel = new QLabel(QStringLiteral("抑制時間(&T)"), this);
    durationLabel->setBuddy(DurationCombo);
    auto *reasonLabel = new QLabel(QStringLiteral("理由(&R)"), this);
    reasonLabel->setBuddy(ReasonEdit);
    auto *form = new QFormLayout;
    form->addRow(durationLabel, DurationCombo);
    form->addRow(reasonLabel, ReasonEdit);
    OkButton = new QPushButton(QStringLiteral("OK"), this);
    OkButton->setDefault(true);
    CancelButton = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);
    connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    // A shelve is on record with its reason: OK waits for one.
    const auto needReason = [this] {
        const bool given = !reason().isEmpty();
        OkButton->setEnabled(given);
        OkButton->setToolTip(given ? QString() : QStringLiteral("理由を入力してください"));
        OkButton->setAccessibleDescription(OkButton->toolTip());
    };
    connect(ReasonEdit, &QLineEdit::textChanged, this, needReason);
    needReason();
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OkButton);
    buttons->addWidget(CancelButton);
    auto *v = new QVBoxLayout(this);
    v->addLayout(form);
    v->addLayout(buttons);
    setMinimumWidth(360);
}

int frmSiteShelve1::minutes() const { return DurationCombo->currentData().toInt(); }

QString frmSiteShelve1::reason() const { return ReasonEdit->text().trimmed(); }

// ---------------------------------------------------------------- the window

frmSites1::frmSites1()
    : m_monitor(&siteMonitor()), m_form(this, idSites, s_frmSites1, {[this] { return placeState(); }})
{
    setWindowTitle(kTitle);
    m_proxy = new SiteFilterModel(this);
    m_proxy->setSortRole(SiteTableModel::kSortRole);
    // Not sorted again at every reading: resortTick does it, at most once a second.
    m_proxy->setDynamicSortFilter(false);
    buildControls();
    // The sources of "sites.ini", unless the monitor was given them already (at start-up).
    if (!m_monitor->started())
        m_monitor->useSavedSource();
    showBoard(m_monitor->board());
    const auto show = [](QLabel *label, const QString &text) {
        label->setText(text);
        label->setAccessibleName(text);
    };
    show(SourceLabel, m_monitor->brokerText());
    show(WatchLabel, m_monitor->fileText());
    connect(m_monitor, &SiteMonitor::boardReplaced, this, &frmSites1::showBoard);
    connect(m_monitor, &SiteMonitor::brokerTextChanged, this, [this, show](const QString &t) { show(SourceLabel, t); });
    connect(m_monitor, &SiteMonitor::fileTextChanged, this, [this, show](const QString &t) { show(WatchLabel, t); });
    connect(m_monitor, &SiteMonitor::alarmRaised, this, &frmSites1::alarmRaised);
    connect(m_monitor, &SiteMonitor::unacknowledgedChanged, this, &frmSites1::countChanged);
    // The watcher's answers to this view's commands, in the status line.
    connect(m_monitor, &SiteMonitor::commandTold, this, &frmSites1::alarmRaised);
    connect(m_monitor, &SiteMonitor::brokerTextChanged, this, &frmSites1::updateAckButton);
    connect(SiteTable->selectionModel(), &QItemSelectionModel::selectionChanged, this, &frmSites1::updateAckButton);
    connect(SiteTable->selectionModel(), &QItemSelectionModel::currentChanged, this, &frmSites1::updateAckButton);
    updateAckButton();
    // The alarms raised before the window opened: latched, counted, the last one in words.
    const int count = board()->unacknowledged();
    setWindowTitle(count > 0 ? kTitle + QStringLiteral(" - 未確認の警報 %1件").arg(count) : kTitle);
    if (count > 0)
        show(AlarmLabel, m_monitor->lastAlarm());
    else
        showQuiet();
}

frmSites1::~frmSites1() = default;

void frmSites1::showBoard(SiteBoard *board)
{
    // Another broker, prefix or file: the monitor's new board, in a table of its own.
    SiteTableModel *old = m_model;
    m_model = new SiteTableModel(board, this);
    m_proxy->setSourceModel(m_model);
    delete old;
    connect(m_model, &QAbstractItemModel::dataChanged, this, &frmSites1::sortChanged);
    connect(m_model, &QAbstractItemModel::rowsInserted, this, [this] { m_sortDirty = true; });
    m_sortDirty = true;
    SiteAlarmList *oldList = m_alarms;
    m_alarms = new SiteAlarmList(board, this);
    AlarmTable->setModel(m_alarms);
    delete oldList;
    AlarmTable->setColumnWidth(SiteAlarmList::ColRaised, 150);
    AlarmTable->setColumnWidth(SiteAlarmList::ColSite, 170);
    AlarmTable->setColumnWidth(SiteAlarmList::ColCause, 110);
    // A cause that clears after its acknowledgement changes no count, but the status line.
    connect(board, &SiteBoard::alarmStep, this, &frmSites1::showQuiet);
}

void frmSites1::buildControls()
{
    FilterEdit = new QLineEdit(this);
    FilterEdit->setPlaceholderText(QStringLiteral("ｻｲﾄ名で検索"));
    FilterEdit->setAccessibleName(QStringLiteral("検索"));
    FilterEdit->setClearButtonEnabled(true);
    FilterEdit->setMaxLength(80);
    connect(FilterEdit, &QLineEdit::textChanged, m_proxy, &SiteFilterModel::setText);
    auto *find = new QLabel(QStringLiteral("検索(&F)"), this);
    find->setBuddy(FilterEdit);
    SourceLabel = new QLabel(this);
    WatchLabel = new QLabel(this);
    BrokerButton = new QPushButton(QStringLiteral("取得元設定(&B)..."), this);
    connect(BrokerButton, &QPushButton::clicked, this, &frmSites1::Command_Broker);
    auto *top = new QHBoxLayout;
    top->addWidget(find);
    top->addWidget(FilterEdit, 1);
    top->addWidget(BrokerButton);
    auto *sources = new QHBoxLayout;
    sources->addWidget(SourceLabel, 1);
    sources->addWidget(WatchLabel, 1);

    SiteTable = new QTableView(this);
    SiteTable->setModel(m_proxy);
    SiteTable->setAccessibleName(QStringLiteral("ｻｲﾄ一覧"));
    SiteTable->setItemDelegate(new SiteCellDelegate(SiteTable));
    SiteTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    SiteTable->setSelectionMode(QAbstractItemView::ExtendedSelection);
    SiteTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Tab moves on to the next control; the arrows move within the table.
    SiteTable->setTabKeyNavigation(false);
    SiteTable->setSortingEnabled(true);
    SiteTable->sortByColumn(SiteTableModel::ColSite, Qt::AscendingOrder);
    SiteTable->verticalHeader()->setVisible(false);
    SiteTable->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    SiteTable->verticalHeader()->setDefaultSectionSize(SiteTable->fontMetrics().height() + 8);
    SiteTable->horizontalHeader()->setHighlightSections(false);
    for (int c = 0; c < SiteTableModel::ColumnCount; ++c)
        SiteTable->setColumnWidth(c, kDefaultWidths[c]);
    SiteTable->horizontalHeader()->setStretchLastSection(true);
    connect(SiteTable->horizontalHeader(), &QHeaderView::sectionResized, this, &frmSites1::recordColumns);
    // A double-click or Enter on a row: that site's history in the trend window.
    connect(SiteTable, &QAbstractItemView::doubleClicked, this, &frmSites1::openHistory);
    SiteTable->installEventFilter(this);
    addSettingsMenu();
    SiteTable->viewport()->installEventFilter(this);
    m_resortTimer = new WindowTimer(this);
    m_resortTimer->setInterval(kResortMs);
    m_resortTimer->onTick = [this] { resortTick(); };
    m_resortTimer->setEnabled(true);

    // 警報一覧: the alarms one per line, newest first.
    auto *listLabel = new QLabel(QStringLiteral("警報一覧(&L)"), this);
    AlarmTable = new QTableView(this);
    listLabel->setBuddy(AlarmTable);
    AlarmTable->setAccessibleName(QStringLiteral("警報一覧"));
    AlarmTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    AlarmTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    AlarmTable->setTabKeyNavigation(false);
    AlarmTable->verticalHeader()->setVisible(false);
    AlarmTable->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    AlarmTable->verticalHeader()->setDefaultSectionSize(AlarmTable->fontMetrics().height() + 6);
    AlarmTable->horizontalHeader()->setHighlightSections(false);
    AlarmTable->horizontalHeader()->setStretchLastSection(true);
    AlarmTable->setMinimumHeight(AlarmTable->fontMetrics().height() * 4);

    AlarmLabel = new QLabel(this);
    AlarmLabel->setAccessibleName(QStringLiteral("警報なし"));
    AlarmLabel->setText(QStringLiteral("警報なし"));
    AckButton = new QPushButton(QStringLiteral("確認(&A)"), this);
    AckButton->setAccessibleName(QStringLiteral("確認"));
    connect(AckButton, &QPushButton::clicked, this, &frmSites1::Command_Acknowledge);
    ShelveButton = new QPushButton(QStringLiteral("一時抑制(&S)..."), this);
    ShelveButton->setAccessibleName(QStringLiteral("一時抑制"));
    connect(ShelveButton, &QPushButton::clicked, this, &frmSites1::Command_Shelve);
    UnshelveButton = new QPushButton(QStringLiteral("抑制解除(&U)"), this);
    UnshelveButton->setAccessibleName(QStringLiteral("抑制解除"));
    connect(UnshelveButton, &QPushButton::clicked, this, &frmSites1::Command_Unshelve);
    CloseButton = new QPushButton(QStringLiteral("閉じる"), this);
    connect(CloseButton, &QPushButton::clicked, this, &frmSites1::closeWindow);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(AlarmLabel, 1);
    bottom->addWidget(AckButton);
    bottom->addWidget(ShelveButton);
    bottom->addWidget(UnshelveButton);
    bottom->addWidget(CloseButton);

    auto *v = new QVBoxLayout(this);
    v->addLayout(top);
    v->addLayout(sources);
    v->addWidget(SiteTable, 3);
    v->addWidget(listLabel);
    v->addWidget(AlarmTable, 1);
    v->addLayout(bottom);
    setTabOrder(FilterEdit, BrokerButton);
    setTabOrder(BrokerButton, SiteTable);
    setTabOrder(SiteTable, AlarmTable);
    setTabOrder(AlarmTable, AckButton);
    setTabOrder(AckButton, ShelveButton);
    setTabOrder(ShelveButton, UnshelveButton);
    setTabOrder(UnshelveButton, CloseButton);
}

qint32 frmSites1::placeState() const
{
    const QHeaderView *h = SiteTable->horizontalHeader();
    const int col = qBound(0, h->sortIndicatorSection(), SiteTableModel::ColumnCount - 1);
    return qint32((g_intFormOpen[idSites] == -1 ? 1 : 0) | (col << 1) |
                  (h->sortIndicatorOrder() == Qt::DescendingOrder ? 0x10 : 0));
}

void frmSites1::recordColumns()
{
    // Two widths to a field of the next record; the last column stretches and is not kept.
    int w[8] = {};
    for (int c = 0; c < SiteTableModel::ColumnCount; ++c)
        w[c] = qBound(0, SiteTable->columnWidth(c), 0x7FFF);
    FormPos p;
    p.Height = w[0] | (w[1] << 16);
    p.Left = w[2] | (w[3] << 16);
    p.Top = w[4] | (w[5] << 16);
    p.Width = w[6] | (w[7] << 16);
    g_subFormPosSet(idSitesColumns, p);
}

void frmSites1::loadPlace()
{
    auto *sub = qobject_cast<QMdiSubWindow *>(parentWidget());
    if (sub)
        sub->setMinimumSize(kMinWidthPx, kMinHeightPx);
    const FormPos &p = g_FormPos[idSites];
    QRect r(40, 40, kDefaultWidthPx, kDefaultHeightPx);
    if (g_intFormPosDefault == 0 && p.Width > 0 && p.Height > 0) {
        r = FormPosToPx(p);
        r.moveTo(qMax(0, r.x()), qMax(0, r.y()));
        const int col = qBound(0, int(p.State >> 1) & 7, SiteTableModel::ColumnCount - 1);
        SiteTable->sortByColumn(col, (p.State & 0x10) ? Qt::DescendingOrder : Qt::AscendingOrder);
        const FormPos &c = g_FormPos[idSitesColumns];
        const qint32 fields[4] = {c.Height, c.Left, c.Top, c.Width};
        for (int col2 = 0; col2 + 1 < SiteTableModel::ColumnCount; ++col2) {
            const int w = (fields[col2 / 2] >> (col2 % 2 ? 16 : 0)) & 0xFFFF;
            if (w >= kMinColumnPx && w <= kMaxColumnPx)
                SiteTable->setColumnWidth(col2, w);
        }
    }
    recordColumns();
    if (!sub)
        return;
    r.setSize(r.size().expandedTo(sub->minimumSize()));
    if (QWidget *area = sub->parentWidget())
        r = FitOnArea(r, area->rect());
    sub->setGeometry(r);
}

void frmSites1::Command_Broker()
{
    frmSiteBroker1 dlg(m_monitor->source(), this);
    dialogs().runModal(&dlg);
    if (dlg.result() != QDialog::Accepted)
        return;
    const SiteSource s = dlg.source();
    if (s == m_monitor->source())
        return;
    SaveSiteSource(s);
    // Another broker, prefix or file: the monitor starts a board of its own.
    m_monitor->useSource(s);
}

QStringList frmSites1::selectedNames() const
{
    QStringList names;
    const QModelIndexList rows = SiteTable->selectionModel() ? SiteTable->selectionModel()->selectedRows()
                                                             : QModelIndexList();
    for (const QModelIndex &i : rows)
        names << i.data(SiteTableModel::kNameRole).toString();
    if (names.isEmpty()) {
        // Nothing selected: the row under the cursor.
        const QModelIndex i = SiteTable->currentIndex();
        if (i.isValid())
            names << i.data(SiteTableModel::kNameRole).toString();
    }
    return names;
}

void frmSites1::addSettingsMenu()
{
    // The row's context menu (and the keyboard's menu key): its settings and its line.
    SiteTable->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto *diff = new QAction(QStringLiteral("設定の相違を表示"), SiteTable);
    auto *port = new QAction(QStringLiteral("保守接続の情報"), SiteTable);
    SiteTable->addAction(diff);
    SiteTable->addAction(port);
    const auto current = [this]() -> const BoardRow * {
        const QModelIndex i = SiteTable->currentIndex();
        return i.isValid() ? board()->row(i.data(SiteTableModel::kNameRole).toString()) : nullptr;
    };
    connect(diff, &QAction::triggered, this, [this, current] {
        const BoardRow *r = current();
        if (!r)
            return;
        if (!r->hasSettings) {
            MsgBox(QStringLiteral("このｻｲﾄの設定はまだ確認されていません。"), vbOKOnly + vbInformation, windowTitle());
            return;
        }
        frmSiteSettings1 dlg(r->name, r->settings, this);
        dialogs().runModal(&dlg);
    });
    connect(port, &QAction::triggered, this, [this, current] {
        const BoardRow *r = current();
        if (!r)
            return;
        MsgBox(r->maintenance.isEmpty()
                   ? QStringLiteral("このｻｲﾄの保守接続は設定されていません。")
                   : QStringLiteral("保守接続 : ") + r->maintenance + vbCrLf +
                         QStringLiteral("ports/COMn にこのｱﾄﾞﾚｽを書くと、接続・ﾃﾞｰﾀ読込・ﾃﾞｰﾀ書込ができます。"),
               vbOKOnly + vbInformation, windowTitle());
    });
}

void frmSites1::Command_Acknowledge() { m_monitor->acknowledge(selectedNames()); }

void frmSites1::Command_Shelve()
{
    const QStringList names = selectedNames();
    if (names.isEmpty())
        return;
    frmSiteShelve1 dlg(this);
    dialogs().runModal(&dlg);
    if (dlg.result() != QDialog::Accepted || dlg.reason().isEmpty())
        return;
    m_monitor->shelve(names, dlg.minutes(), dlg.reason());
}

void frmSites1::Command_Unshelve() { m_monitor->unshelve(selectedNames()); }

void frmSites1::openHistory(const QModelIndex &index)
{
    const SiteBoard *b = board();
    const int i = index.isValid() ? b->indexOf(index.data(SiteTableModel::kNameRole).toString()) : -1;
    if (i < 0)
        return;
    const BoardRow &r = b->rows().at(i);
    const QString caption = r.title.isEmpty() ? r.name : r.title + QStringLiteral(" (") + r.name + QLatin1Char(')');
    emit siteEvents().historyAsked(caption, b->history(i), r.unit);
    // What arrived so far shows at once; the watcher's day follows as it comes.
    m_monitor->askHistory(r.name);
}

void frmSites1::sortChanged(const QModelIndex &from, const QModelIndex &to)
{
    const int col = SiteTable->horizontalHeader()->sortIndicatorSection();
    if (from.column() <= col && col <= to.column())
        m_sortDirty = true;
}

void frmSites1::resortTick()
{
    if (!m_sortDirty || m_pointerOver)
        return;
    m_sortDirty = false;
    const QHeaderView *h = SiteTable->horizontalHeader();
    if (h->sortIndicatorSection() < 0 || h->sortIndicatorSection() >= SiteTableModel::ColumnCount)
        return;
    ++m_resorts;
    m_proxy->sort(h->sortIndicatorSection(), h->sortIndicatorOrder());
}

bool frmSites1::eventFilter(QObject *o, QEvent *e)
{
    // The pointer over the rows: they stay where they are until it leaves.
    if (o == SiteTable->viewport() && (e->type() == QEvent::Enter || e->type() == QEvent::Leave)) {
        m_pointerOver = e->type() == QEvent::Enter;
        return QWidget::eventFilter(o, e);
    }
    // Enter on the table: the current row's history, as a double-click on it.
    if (o == SiteTable && e->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(e)->key();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && SiteTable->currentIndex().isValid()) {
            openHistory(SiteTable->currentIndex());
            return true;
        }
    }
    return QWidget::eventFilter(o, e);
}

void frmSites1::alarmRaised(const QString &text)
{
    AlarmLabel->setText(text);
    AlarmLabel->setAccessibleName(text);
    // A screen reader speaks the status line's new name.
    QAccessibleEvent changed(AlarmLabel, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
    QAccessibleEvent alert(AlarmLabel, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}

void frmSites1::countChanged(int count)
{
    setWindowTitle(count > 0 ? kTitle + QStringLiteral(" - 未確認の警報 %1件").arg(count) : kTitle);
    if (count == 0)
        showQuiet();
}

void frmSites1::updateAckButton()
{
    // The service's alarms need the broker's user: without one, acting on a selection of such
    // sites is refused here, and the tooltips say why.
    bool service = false;
    for (const QString &name : selectedNames()) {
        const BoardRow *r = board()->row(name);
        service = service || (r && r->hasService && !m_monitor->isLocal(name));
    }
    const QString why = service ? m_monitor->commandRefusal() : QString();
    const auto set = [&why](QPushButton *b, const QString &can, const QString &cannot) {
        b->setEnabled(why.isEmpty());
        b->setToolTip(why.isEmpty() ? can : cannot.arg(why));
        b->setAccessibleDescription(b->toolTip());
    };
    set(AckButton, QStringLiteral("選択したｻｲﾄの警報を確認します"), QStringLiteral("確認できません: %1"));
    set(ShelveButton, QStringLiteral("選択したｻｲﾄの警報を一時抑制します"), QStringLiteral("一時抑制できません: %1"));
    set(UnshelveButton, QStringLiteral("選択したｻｲﾄの一時抑制を解除します"), QStringLiteral("抑制解除できません: %1"));
}

void frmSites1::showQuiet()
{
    // 警報なし only when nothing is unacknowledged and no cause holds; acknowledged alarms
    // whose cause holds are still alarms.
    if (board()->unacknowledged() > 0)
        return;
    const int held = board()->active();
    const QString text = held > 0 ? QStringLiteral("確認済の警報 継続中 : %1件").arg(held) : QStringLiteral("警報なし");
    if (AlarmLabel->text() == text)
        return;
    AlarmLabel->setText(text);
    AlarmLabel->setAccessibleName(text);
    QAccessibleEvent changed(AlarmLabel, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
}

void frmSites1::closeWindow()
{
    if (auto *sub = qobject_cast<QMdiSubWindow *>(parentWidget()))
        sub->close();
    else
        close();
}

void frmSites1::closeEvent(QCloseEvent *e)
{
    // The monitor goes on: its sites stay polled (and their ports taken), its alarms rung.
    m_form.closed();
    e->accept();
}
