#include "graph/frmTrend1.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "graph/modGraph1.h"
#include "logfiler/modLogFiler.h"
#include "monitor/modMonitor1.h"
#include "monitor/modTrendHistory.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/QtDialogs.h"
#include "platform/ErrorText.h"
#include "platform/Geometry.h"
#include "platform/TextFile.h"
#include "settings/modUserData.h"

#include <QBuffer>
#include <QCloseEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMdiSubWindow>
#include <QMimeData>
#include <QPainter>
#include <QVBoxLayout>

namespace {
frmTrend1 *s_frmTrend1 = nullptr; // only the registration, m_form, sets it
}
frmTrend1 *const &g_frmTrend1 = s_frmTrend1;

namespace {
// The window's size when nothing is stored, and its smallest.
constexpr int kDefaultWidthPx = 760, kDefaultHeightPx = 460;
constexpr int kMinWidthPx = 520, kMinHeightPx = 340;

QString timeText(qint64 ms) { return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")); }

// The clock's steps back among the readings shown: "時刻戻り 2026/10/10 06:00:00→05:00:10", or
// how many there are and the first of them.
QString stepsNote(const TrendSeries &s)
{
    if (!s.stepCount())
        return QString();
    const TrendSeries::Step first = s.steps().front();
    const QString step = timeText(first.beforeMs) + QStringLiteral("→") +
                         QDateTime::fromMSecsSinceEpoch(first.afterMs)
                             .toString(QDateTime::fromMSecsSinceEpoch(first.afterMs).date() ==
                                               QDateTime::fromMSecsSinceEpoch(first.beforeMs).date()
                                           ? QStringLiteral("HH:mm:ss")
                                           : QStringLiteral("yyyy/MM/dd HH:mm:ss"));
    if (s.stepCount() == 1)
        return QStringLiteral("時刻戻り ") + step;
    return QStringLiteral("時刻戻り %1 か所 (最初 %2)").arg(s.stepCount()).arg(step);
}
} // namespace

QString frmTrend1::spanWords(qint64 ms)
{
    qint64 s = (ms + 500) / 1000;
    const qint64 d = s / 86400, h = s / 3600 % 24, m = s / 60 % 60;
    s %= 60;
    QString t;
    if (d)
        t += QStringLiteral("%1日").arg(d);
    if (h)
        t += QStringLiteral("%1時間").arg(h);
    if (m)
        t += QStringLiteral("%1分").arg(m);
    if (s || t.isEmpty())
        t += QStringLiteral("%1秒").arg(s);
    return t;
}

qint64 frmTrend1::spanMs(int index)
{
    static const qint64 spans[kSpans] = {60000, 600000, 3600000, 86400000};
    return spans[qBound(0, index, kSpans - 1)];
}

QString frmTrend1::spanCaption(int index)
{
    static const char *const captions[kSpans] = {"1分", "10分", "1時間", "24時間"};
    return QString::fromUtf8(captions[qBound(0, index, kSpans - 1)]);
}

frmTrend1::frmTrend1()
    : m_form(this, idTrend, s_frmTrend1, {[this] { return qint32((g_intFormOpen[idTrend] == -1 ? 1 : 0) | (m_spanIndex << 1)); }})
{
    setWindowTitle(QStringLiteral("ﾄﾚﾝﾄﾞ表示ﾊﾟﾈﾙ"));
    setAcceptDrops(true);
    m_redraw = std::make_unique<WindowTimer>(this);
    m_redraw->onTick = [this] {
        m_redraw->setEnabled(false);
        refresh();
    };
    buildControls();
    // The view keys come before the controls' own, whichever has the focus.
    for (QWidget *control : findChildren<QWidget *>())
        control->installEventFilter(this);
    showLive();
    subThresholdsSet();

    connect(&monitorEvents(), &MonitorEvents::readingStored, this, &frmTrend1::readingArrived);
    // The settings changed (a file, the input type): the unit, the scale and the thresholds.
    connect(&appEvents(), &AppEvents::monitorWindowsRefresh, this, &frmTrend1::subThresholdsSet);
    connect(&appEvents(), &AppEvents::gridCommitted, this, &frmTrend1::subThresholdsSet);
    connect(&graphEvents(), &GraphEvents::colorsApplied, this, &frmTrend1::refresh);
}

frmTrend1::~frmTrend1() = default;

void frmTrend1::buildControls()
{
    auto *top = new QHBoxLayout();
    auto *spanLabel = new QLabel(QStringLiteral("表示範囲"), this);
    SpanCombo = new QComboBox(this);
    for (int i = 0; i < kSpans; ++i)
        SpanCombo->addItem(spanCaption(i));
    SpanCombo->setCurrentIndex(m_spanIndex);
    // Read as its value, the caption as its description.
    SpanCombo->setAccessibleDescription(QStringLiteral("表示範囲"));
    spanLabel->setBuddy(SpanCombo);
    connect(SpanCombo, &QComboBox::activated, this, [this](int i) {
        m_spanIndex = i;
        Plot->setSpan(spanMs(i));
    });
    LatestButton = new QPushButton(QStringLiteral("最新"), this);
    LatestButton->setToolTip(QStringLiteral("最新の読み取り値に戻ります (End)"));
    connect(LatestButton, &QPushButton::clicked, this, &frmTrend1::Command_Latest);
    OpenButton = new QPushButton(QStringLiteral("ﾛｸﾞﾌｧｲﾙを開く"), this);
    connect(OpenButton, &QPushButton::clicked, this, &frmTrend1::Command_OpenLog);
    SaveButton = new QPushButton(QStringLiteral("画像で保存"), this);
    connect(SaveButton, &QPushButton::clicked, this, &frmTrend1::Command_SavePicture);
    CloseButton = new QPushButton(QStringLiteral("閉じる"), this);
    connect(CloseButton, &QPushButton::clicked, this, &frmTrend1::closeWindow);
    top->addWidget(spanLabel);
    top->addWidget(SpanCombo);
    top->addWidget(LatestButton);
    top->addSpacing(12);
    top->addWidget(OpenButton);
    top->addWidget(SaveButton);
    top->addStretch(1);
    top->addWidget(CloseButton);

    auto *channels = new QHBoxLayout();
    auto *caption = new QLabel(QStringLiteral("しきい値:"), this);
    channels->addWidget(caption);
    for (int i = 0; i < 8; ++i) {
        Check1[i] = new QCheckBox(QStringLiteral("ch%1").arg(i + 1), this);
        Check1[i]->setChecked(true);
        Check1[i]->setAccessibleName(QStringLiteral("ch%1").arg(i + 1));
        Check1[i]->setAccessibleDescription(QStringLiteral("しきい値"));
        connect(Check1[i], &QCheckBox::toggled, this, &frmTrend1::subThresholdsSet);
        channels->addWidget(Check1[i]);
    }
    channels->addStretch(1);

    Plot = new TrendPlot(this);
    Plot->setFont(QFont(QStringLiteral("IPAGothic"), 9));
    Plot->setAccessibleName(QStringLiteral("ﾄﾚﾝﾄﾞ表示"));
    connect(Plot, &TrendPlot::viewChanged, this, &frmTrend1::viewChanged);
    PointerLabel = new QLabel(this);
    PointerLabel->setAccessibleDescription(QStringLiteral("ﾎﾟｲﾝﾀｰ位置の読み取り値"));
    connect(Plot, &TrendPlot::pointerReading, PointerLabel, &QLabel::setText);
    SourceLabel = new QLabel(this);
    SourceLabel->setAccessibleDescription(QStringLiteral("表示中のﾃﾞｰﾀ"));
    // A long line (a step of the clock, why no thresholds, the thresholds of a shared
    // label) does not widen the window; the status line's whole text is its tip.
    SourceLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    PointerLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    auto *bottom = new QHBoxLayout();
    bottom->addWidget(SourceLabel, 3);
    bottom->addWidget(PointerLabel, 2);

    auto *v = new QVBoxLayout(this);
    v->setContentsMargins(6, 6, 6, 4);
    v->setSpacing(4);
    v->addLayout(top);
    v->addLayout(channels);
    v->addWidget(Plot, 1);
    v->addLayout(bottom);
    setTabOrder(SpanCombo, LatestButton);
    setTabOrder(LatestButton, OpenButton);
    setTabOrder(OpenButton, SaveButton);
    setTabOrder(SaveButton, CloseButton);
}

void frmTrend1::loadPlace()
{
    auto *sub = qobject_cast<QMdiSubWindow *>(parentWidget());
    if (!sub)
        return;
    sub->setMinimumSize(kMinWidthPx, kMinHeightPx);
    const FormPos &p = g_FormPos[idTrend];
    QRect r(30, 30, kDefaultWidthPx, kDefaultHeightPx);
    if (g_intFormPosDefault == 0 && p.Width > 0 && p.Height > 0) {
        r = FormPosToPx(p);
        r.moveTo(qMax(0, r.x()), qMax(0, r.y()));
        m_spanIndex = qBound(0, int(p.State >> 1) & 3, kSpans - 1);
        SpanCombo->setCurrentIndex(m_spanIndex);
        Plot->setSpan(spanMs(m_spanIndex));
    }
    r.setSize(r.size().expandedTo(sub->minimumSize()));
    if (QWidget *area = sub->parentWidget())
        r = FitOnArea(r, area->rect());
    sub->setGeometry(r);
}

// ---------------------------------------------------------------- sources

void frmTrend1::showLive()
{
    m_log.reset();
    m_logPath.clear();
    m_site.reset();
    m_siteCaption.clear();
    TrendSource src;
    src.series = &g_funcTrendHistory();
    Plot->setSource(src);
    Plot->setSpan(spanMs(m_spanIndex));
    Plot->setFollowing(true);
    SpanCombo->setCurrentIndex(m_spanIndex);
    subThresholdsSet();
}

void frmTrend1::showSite(const QString &caption, std::shared_ptr<const TrendSeries> series, const QString &unit)
{
    if (m_reading || !series)
        return;
    m_log.reset();
    m_logPath.clear();
    m_site = std::move(series);
    m_siteCaption = caption;
    TrendSource src;
    src.series = m_site.get();
    src.hundredths = true;
    src.unit = unit;
    Plot->setSource(src);
    Plot->setSpan(spanMs(m_spanIndex));
    Plot->setFollowing(true);
    SpanCombo->setCurrentIndex(m_spanIndex);
    subThresholdsSet();
}

void frmTrend1::siteReadingArrived(const TrendSeries *series)
{
    if (m_site && series == m_site.get())
        redrawSoon();
}

QString frmTrend1::siteText() const { return m_site ? QStringLiteral("ｻｲﾄ: ") + m_siteCaption : QString(); }

void frmTrend1::closeWindow()
{
    if (auto *sub = qobject_cast<QMdiSubWindow *>(parentWidget()))
        sub->close();
    else
        close();
}

bool frmTrend1::openLog(const QString &path)
{
    if (m_reading)
        return false;
    auto data = std::make_unique<LogFileData>();
    m_reading = true;
    const bool read = g_funcLogFileRead(path, *data, [this] { return m_closeAsked; });
    m_reading = false;
    if (m_closeAsked) {
        // Closed while it read: the close goes on now, after the read's own events.
        m_closeAsked = false;
        QMetaObject::invokeMethod(this, &frmTrend1::closeWindow, Qt::QueuedConnection);
        return false;
    }
    if (!read)
        return false;
    m_log = std::move(data);
    m_logPath = path;
    m_site.reset();
    m_siteCaption.clear();
    TrendSource src;
    src.series = &m_log->series;
    src.hundredths = m_log->hundredths;
    src.unit = m_log->unit;
    src.markers = m_log->markers;
    Plot->setSource(src);
    // The whole file in view, from its first marker or reading to its last.
    qint64 first = m_log->series.isEmpty() ? Now().toMSecsSinceEpoch() : m_log->series.firstMs();
    qint64 last = m_log->series.isEmpty() ? first : m_log->series.lastMs();
    for (const LogMarker &m : m_log->markers) {
        first = qMin(first, m.ms);
        last = qMax(last, m.ms);
    }
    const qint64 span = qMax(Plot->minSpan(), last - first);
    Plot->setView(first - span / 100, span + span / 50);
    subThresholdsSet();
    return true;
}

void frmTrend1::Command_OpenLog()
{
    if (m_reading)
        return;
    FileDialogRequest req;
    req.title = QStringLiteral("ﾛｸﾞﾌｧｲﾙを開く");
    req.filter = QStringLiteral("CSV ﾌｧｲﾙ (*.csv)|*.csv|すべてのﾌｧｲﾙ (*.*)|*.*");
    req.flags = cdlOFNFileMustExist | cdlOFNHideReadOnly | cdlOFNPathMustExist;
    if (!m_logPath.isEmpty())
        req.initDir = m_logPath;
    else if (!g_typLogFilerSet.strFolder.isEmpty())
        req.initDir = g_typLogFilerSet.strFolder;
    else
        req.initDir = g_funcGetSpecialFolder(5);
    const std::optional<QString> path = dialogs().openFile(req);
    if (path && !path->isEmpty())
        openLog(*path);
}

QImage frmTrend1::savedPicture() const
{
    // The facts: the times at the view's ends as written, the source, the span, the unit.
    const qint64 start = Plot->viewStart(), end = start + Plot->viewSpan();
    const QString from = timeText(Plot->writtenAt(start)), to = timeText(Plot->writtenAt(end));
    const QString source = m_log ? QFileInfo(m_logPath).fileName() : m_site ? m_siteCaption : QStringLiteral("ﾗｲﾌﾞ");
    const QString span = spanWords(Plot->viewSpan());
    const QString unit = Plot->unit();
    QString range = from + QStringLiteral(" - ") + to;
    const TrendSeries *s = Plot->source().series;
    if (s && s->stepCount()) {
        for (const TrendSeries::Step &st : s->steps()) {
            if (st.breakMs() >= start && st.breakMs() <= end) {
                range += QStringLiteral(" (時刻戻りあり)");
                break;
            }
        }
    }
    const QStringList parts = {range, m_site ? siteText() : (m_log ? QStringLiteral("ﾛｸﾞﾌｧｲﾙ: ") : QString()) + source,
                               QStringLiteral("表示幅 ") + span, QStringLiteral("単位 ") + unit};

    const QImage plot = Plot->picture();
    const QFontMetrics fm(Plot->font());
    // One line where it fits the width, else the dates on a line of their own.
    QStringList lines = {parts.join(QStringLiteral("  "))};
    if (fm.horizontalAdvance(lines.first()) > plot.width() - 12)
        lines = {parts[0], parts.mid(1).join(QStringLiteral("  "))};
    const int lineHeight = fm.height();
    QImage img(plot.width(), plot.height() + int(lines.size()) * lineHeight + 8, QImage::Format_RGB32);
    img.fill(QtDialogs::qtColor(quint32(g_lngColor[0])));
    {
        QPainter p(&img);
        p.setFont(Plot->font());
        p.setPen(QtDialogs::qtColor(quint32(g_lngColor[9])));
        for (int i = 0; i < lines.size(); ++i)
            p.drawText(QRect(6, 4 + i * lineHeight, plot.width() - 12, lineHeight), Qt::AlignLeft | Qt::AlignVCenter,
                       lines[i]);
        p.drawImage(0, img.height() - plot.height(), plot);
    }
    img.setText(QStringLiteral("Title"), lines.join(QStringLiteral("  ")));
    img.setText(QStringLiteral("From"), from);
    img.setText(QStringLiteral("To"), to);
    img.setText(QStringLiteral("Source"), source);
    img.setText(QStringLiteral("Span"), span);
    img.setText(QStringLiteral("Unit"), unit);
    img.setText(QStringLiteral("Software"), QStringLiteral("Qelvo %1.%2.%3").arg(kVersionMajor).arg(kVersionMinor).arg(kVersionRevision));
    return img;
}

void frmTrend1::Command_SavePicture()
{
    FileDialogRequest req;
    req.title = QStringLiteral("画像で保存");
    req.filter = QStringLiteral("PNG ﾌｧｲﾙ (*.png)|*.png");
    req.flags = cdlOFNOverwritePrompt | cdlOFNHideReadOnly | cdlOFNPathMustExist;
    req.initDir = g_funcGetSpecialFolder(5);
    req.fileName = QStringLiteral("trend") + Now().toString(QStringLiteral("yyyyMMdd_HHmmss")) + QStringLiteral(".png");
    std::optional<QString> path = dialogs().saveFile(req);
    if (!path || path->isEmpty())
        return;
    if (QFileInfo(*path).suffix().isEmpty())
        *path += QStringLiteral(".png");
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    savedPicture().save(&buffer, "PNG");
    const FileError e = WriteWholeFile(*path, bytes);
    if (e.failed())
        MsgBox(ErrTextErrorNo(e) + vbCrLf + *path, vbOKOnly + vbCritical, QStringLiteral("画像で保存"));
}

void frmTrend1::Command_Latest()
{
    if (m_log || m_site)
        showLive();
    else
        Plot->setFollowing(true);
}

// ---------------------------------------------------------------- what is shown

void frmTrend1::subThresholdsSet()
{
    const EditorTexts t = g_funcEditorTexts();
    const bool distance = IsDistanceMode(g_intInputType);
    QList<TrendThreshold> lines;
    for (int n = 1; n <= 8; ++n) {
        // The distance types have six levels, one per channel.
        Check1[n - 1]->setVisible(!distance || n <= 6);
        Check1[n - 1]->setEnabled(!m_site);
        // A site's readings are of its own controller, not of the one the grid sets.
        if (m_site || !Check1[n - 1]->isChecked() || (distance && n > 6))
            continue;
        double v = 0;
        // Each label says which bound it is: "ch1↑" the upper, "ch1↓" the lower; a distance
        // type's one level per channel is the channel's.
        if (IsNumeric(t.cell[1][n], &v))
            lines << TrendThreshold{v, n, distance ? QStringLiteral("ch%1").arg(n) : QStringLiteral("ch%1 最大値").arg(n),
                                    distance ? QStringLiteral("ch%1").arg(n) : QStringLiteral("ch%1↑").arg(n)};
        if (!distance && IsNumeric(t.cell[2][n], &v))
            lines << TrendThreshold{v, n, QStringLiteral("ch%1 最小値").arg(n), QStringLiteral("ch%1↓").arg(n)};
    }
    Plot->setThresholds(lines);
    refresh();
}

QString frmTrend1::describe() const
{
    QStringList parts;
    if (m_site)
        parts << siteText();
    parts << QStringLiteral("表示範囲 ") + spanWords(Plot->viewSpan());
    const TrendSeries *s = Plot->source().series;
    if (!s || s->isEmpty()) {
        parts << QStringLiteral("ﾃﾞｰﾀなし");
        return parts.join(QStringLiteral("、"));
    }
    const TrendSeries::Reading r = s->at(s->size() - 1);
    if (r.flags & TrendSeries::NoValue) {
        parts << QStringLiteral("最新値 ERROR");
        return parts.join(QStringLiteral("、"));
    }
    const double v = Plot->valueOf(r.value);
    parts << QStringLiteral("最新値 ") + FormatFixed2(v) + Plot->unit() + QStringLiteral(" (") +
                 timeText(r.written) + QLatin1Char(')');
    if (!Plot->thresholdsApply() || Plot->thresholds().isEmpty()) {
        parts << QStringLiteral("しきい値なし");
        return parts.join(QStringLiteral("、"));
    }
    // The nearest threshold at or below the value and the nearest above it.
    const TrendThreshold *below = nullptr, *above = nullptr;
    for (const TrendThreshold &t : Plot->thresholds()) {
        if (t.value <= v && (!below || t.value > below->value))
            below = &t;
        if (t.value > v && (!above || t.value < above->value))
            above = &t;
    }
    auto text = [this](const TrendThreshold *t) { return t->name + QLatin1Char(' ') + FormatFixed2(t->value) + Plot->unit(); };
    if (below && above)
        parts << text(below) + QStringLiteral(" と ") + text(above) + QStringLiteral(" の間");
    else if (below)
        parts << QStringLiteral("全てのしきい値以上 (最も高い ") + text(below) + QLatin1Char(')');
    else
        parts << QStringLiteral("全てのしきい値より下 (最も低い ") + text(above) + QLatin1Char(')');
    return parts.join(QStringLiteral("、"));
}

void frmTrend1::refresh()
{
    Plot->update();
    const QString d = describe();
    if (Plot->accessibleDescription() != d)
        Plot->setAccessibleDescription(d);
    QString source;
    if (m_log) {
        source = QStringLiteral("ﾛｸﾞﾌｧｲﾙ: ") + QFileInfo(m_logPath).fileName() +
                 QStringLiteral("  %1 回分 %2 件").arg(m_log->runs).arg(m_log->lines);
        if (m_log->skipped)
            source += QStringLiteral("  読めない行 %1").arg(m_log->skipped);
        if (m_log->cutShort)
            source += QStringLiteral("  最後の行は途中で切れています");
    } else if (m_site) {
        source = siteText() + (Plot->following() ? QStringLiteral(" (最新に追従)") : QString()) +
                 QStringLiteral("  %1 件").arg(m_site->size());
    } else {
        source = Plot->following() ? QStringLiteral("ﾗｲﾌﾞ (最新に追従)") : QStringLiteral("ﾗｲﾌﾞ");
    }
    source += QStringLiteral("  表示幅 ") + spanWords(Plot->viewSpan());
    // What the picture does not say by itself: a step of the clock, and why no threshold is
    // drawn over a log of another full scale.
    if (const TrendSeries *s = Plot->source().series; s && s->stepCount())
        source += QStringLiteral("  ") + stepsNote(*s);
    if (const QString note = m_site ? QString() : Plot->thresholdsNote(); !note.isEmpty())
        source += QStringLiteral("  ") + note;
    if (SourceLabel->text() != source) {
        SourceLabel->setText(source);
        SourceLabel->setToolTip(source);
    }
}

void frmTrend1::viewChanged()
{
    int preset = -1;
    for (int i = 0; i < kSpans; ++i) {
        if (spanMs(i) == Plot->viewSpan())
            preset = i;
    }
    if (preset >= 0)
        m_spanIndex = preset;
    if (SpanCombo->currentIndex() != preset)
        SpanCombo->setCurrentIndex(preset);
    refresh();
}

void frmTrend1::readingArrived()
{
    // The tool's own readings, while they are shown.
    if (!m_log && !m_site)
        redrawSoon();
}

void frmTrend1::redrawSoon()
{
    if (m_redraw->Enabled())
        return;
    const qint64 perPixel = Plot->viewSpan() / qMax(1, Plot->plotRect().width());
    m_redraw->setInterval(int(qBound(qint64(50), perPixel, qint64(1000))));
    m_redraw->setEnabled(true);
}

// ---------------------------------------------------------------- window

bool frmTrend1::windowKey(QKeyEvent *e)
{
    if (e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    switch (e->key()) {
    case Qt::Key_Left: Plot->panBy(-0.1); break;
    case Qt::Key_Right: Plot->panBy(0.1); break;
    case Qt::Key_Plus:
    case Qt::Key_Equal: Plot->zoomBy(0.5, 0.5); break;
    case Qt::Key_Minus: Plot->zoomBy(2.0, 0.5); break;
    // The newest reading: following the live ones, the end of a log.
    case Qt::Key_End:
        if (m_log)
            Plot->toNewest();
        else
            Plot->setFollowing(true);
        break;
    case Qt::Key_Home: Plot->toOldest(); break;
    default: return false;
    }
    e->accept();
    return true;
}

bool frmTrend1::eventFilter(QObject *o, QEvent *e)
{
    // The view keys act on the plot whichever control has the focus (the span box keeps Up
    // and Down); a control's own pop-up list is a window of its own and keeps its keys.
    if (e->type() == QEvent::KeyPress && o->isWidgetType() && static_cast<QWidget *>(o)->window() == window() &&
        windowKey(static_cast<QKeyEvent *>(e)))
        return true;
    return QWidget::eventFilter(o, e);
}

void frmTrend1::keyPressEvent(QKeyEvent *e)
{
    if (!windowKey(e))
        QWidget::keyPressEvent(e);
}

void frmTrend1::dragEnterEvent(QDragEnterEvent *e)
{
    const QList<QUrl> urls = e->mimeData()->urls();
    if (urls.size() == 1 && urls.first().isLocalFile())
        e->acceptProposedAction();
}

void frmTrend1::dropEvent(QDropEvent *e)
{
    const QList<QUrl> urls = e->mimeData()->urls();
    if (urls.size() != 1 || !urls.first().isLocalFile())
        return;
    e->acceptProposedAction();
    // The box a failed read shows must not run inside the drag's own event.
    const QString path = urls.first().toLocalFile();
    QMetaObject::invokeMethod(this, [this, path] { openLog(path); }, Qt::QueuedConnection);
}

void frmTrend1::closeEvent(QCloseEvent *e)
{
    if (m_reading) {
        // Reading a log: the read stops at its next piece, and the window closes then.
        m_closeAsked = true;
        e->ignore();
        return;
    }
    m_form.closed();
    e->accept();
}
