#include "graph/frmTrend1.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "graph/modGraph1.h"
#include "logfiler/modLogFiler.h"
#include "monitor/modMonitor1.h"
#include "monitor/modTrendHistory.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
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
#include <QVBoxLayout>

frmTrend1 *g_frmTrend1 = nullptr;

namespace {
// The window's size when nothing is stored, and its smallest.
constexpr int kDefaultWidthPx = 760, kDefaultHeightPx = 460;
constexpr int kMinWidthPx = 520, kMinHeightPx = 340;

// A span as words: "10分", "1時間30分", "45秒".
QString spanWords(qint64 ms)
{
    qint64 s = (ms + 500) / 1000;
    const qint64 h = s / 3600, m = s / 60 % 60;
    s %= 60;
    QString t;
    if (h)
        t += QStringLiteral("%1時間").arg(h);
    if (m)
        t += QStringLiteral("%1分").arg(m);
    if (s || t.isEmpty())
        t += QStringLiteral("%1秒").arg(s);
    return t;
}
} // namespace

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
{
    setWindowTitle(QStringLiteral("ﾄﾚﾝﾄﾞ表示ﾊﾟﾈﾙ"));
    setAcceptDrops(true);
    m_redraw = std::make_unique<WindowTimer>(this);
    m_redraw->onTick = [this] {
        m_redraw->setEnabled(false);
        refresh();
    };
    buildControls();
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
    connect(CloseButton, &QPushButton::clicked, this, [this] {
        if (auto *sub = qobject_cast<QMdiSubWindow *>(parentWidget()))
            sub->close();
        else
            close();
    });
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

    auto *bottom = new QHBoxLayout();
    bottom->addWidget(SourceLabel, 1);
    bottom->addWidget(PointerLabel);

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
    TrendSource src;
    src.series = &g_funcTrendHistory();
    Plot->setSource(src);
    Plot->setSpan(spanMs(m_spanIndex));
    Plot->setFollowing(true);
    SpanCombo->setCurrentIndex(m_spanIndex);
    refresh();
}

bool frmTrend1::openLog(const QString &path)
{
    auto data = std::make_unique<LogFileData>();
    if (!g_funcLogFileRead(path, *data))
        return false;
    m_log = std::move(data);
    m_logPath = path;
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
    refresh();
    return true;
}

void frmTrend1::Command_OpenLog()
{
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
    Plot->picture().save(&buffer, "PNG");
    const FileError e = WriteWholeFile(*path, bytes);
    if (e.failed())
        MsgBox(ErrTextErrorNo(e) + vbCrLf + *path, vbOKOnly + vbCritical, QStringLiteral("画像で保存"));
}

void frmTrend1::Command_Latest()
{
    if (m_log)
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
        if (!Check1[n - 1]->isChecked() || (distance && n > 6))
            continue;
        double v = 0;
        if (IsNumeric(t.cell[1][n], &v))
            lines << TrendThreshold{v, n, distance ? QStringLiteral("ch%1").arg(n) : QStringLiteral("ch%1 最大値").arg(n)};
        if (!distance && IsNumeric(t.cell[2][n], &v))
            lines << TrendThreshold{v, n, QStringLiteral("ch%1 最小値").arg(n)};
    }
    Plot->setThresholds(lines);
    refresh();
}

QString frmTrend1::describe() const
{
    QStringList parts;
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
                 QDateTime::fromMSecsSinceEpoch(r.ms).toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")) + QLatin1Char(')');
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
    } else {
        source = Plot->following() ? QStringLiteral("ﾗｲﾌﾞ (最新に追従)") : QStringLiteral("ﾗｲﾌﾞ");
    }
    source += QStringLiteral("  表示幅 ") + spanWords(Plot->viewSpan());
    if (SourceLabel->text() != source)
        SourceLabel->setText(source);
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
    if (m_log || m_redraw->Enabled())
        return;
    const qint64 perPixel = Plot->viewSpan() / qMax(1, Plot->plotRect().width());
    m_redraw->setInterval(int(qBound(qint64(50), perPixel, qint64(1000))));
    m_redraw->setEnabled(true);
}

// ---------------------------------------------------------------- window

void frmTrend1::keyPressEvent(QKeyEvent *e)
{
    switch (e->key()) {
    case Qt::Key_Left: Plot->panBy(-0.1); break;
    case Qt::Key_Right: Plot->panBy(0.1); break;
    case Qt::Key_Plus:
    case Qt::Key_Equal: Plot->zoomBy(0.5, 0.5); break;
    case Qt::Key_Minus: Plot->zoomBy(2.0, 0.5); break;
    case Qt::Key_End: Command_Latest(); break;
    default: QWidget::keyPressEvent(e); return;
    }
    e->accept();
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
    m_form.closed();
    e->accept();
}
