#pragma once
// A model of the water-level comparator controller: its settings memory, its answers to
// the host's command lines, its input level and its eight comparator outputs, and the
// line faults it can be told to show.
//
// The model is pure and knows no clock: the host's bytes go in together with the time
// (microseconds on any monotonic base), and the reply comes out as chunks, each with the
// idle time on the line before it starts. The transport (the in-process port or the
// pseudo-terminal program) paces the bytes at 9600 baud.
#include <QByteArray>
#include <QByteArrayList>
#include <QList>
#include <QRandomGenerator>
#include <QString>

class CtrlModel {
public:
    // 9600 baud, 8N1: ten bit times per byte.
    static constexpr qint64 ByteTimeNs = 10LL * 1000000000LL / 9600; // 1,041,666 ns
    static constexpr qint64 ByteTimeUs = ByteTimeNs / 1000;           // 1,041 us (whole us)
    // Time on the line of n bytes, in microseconds, without the rounding drift of ByteTimeUs.
    static constexpr qint64 lineTimeUs(qint64 n) { return n * 10 * 1000000 / 9600; }

    static constexpr int MemorySize = 256;
    static constexpr int MaxCount = 1023;
    static constexpr int Outputs = 8;
    // Cells of the settings block.
    enum Cell : int {
        CellHysteresis = 0x28,
        CellMarker = 0x2A,
        CellRelayMode = 0x2B,
        CellInputCode = 0x2D,
    };

    enum class Wave { Constant, Ramp, Sine, Steps, File };
    enum class Fault {
        None,
        Silence,  // no answers at all
        Question, // every answer is "?"
        Slow,     // every answer comes param ms late
        Garbage,  // param random non-protocol bytes, then CR, instead of the answer
        Split,    // every answer is cut in two, param ms apart
        Flood,    // param bytes without CR instead of each answer; param < 0: an endless stream
        HangUp,   // answers param frames, then drops the line when the next one comes in
        Stall,    // stops answering for param ms from the next frame on, then sends every
                  // answer it held back at once, in one burst, and answers as before
    };

    // One piece of a reply: the line stays idle gapUs after the previous piece of the same
    // reply has been sent (for the first piece: after the CR of the host's frame came in).
    struct Chunk {
        qint64 gapUs = 0;
        QByteArray bytes;
        bool operator==(const Chunk &o) const { return gapUs == o.gapUs && bytes == o.bytes; }
    };
    // One host frame as received (without its CR) and the bytes sent back for it.
    struct Frame {
        qint64 atUs = 0;
        QByteArray text;
        QByteArray reply;
    };

    CtrlModel();

    // ---- line
    // Takes the host's bytes, received at nowUs (the time the last of them came in), and
    // returns the reply pieces of every frame they complete, in order.
    QList<Chunk> receive(const QByteArray &bytes, qint64 nowUs);
    // Drops a partial frame (the port was opened again).
    void resetLine() { m_partial.clear(); }
    // Answer of one frame (without CR), as the healthy controller gives it at time nowUs.
    QByteArray answer(const QByteArray &frame, qint64 nowUs);

    // Extra delay of every answer (the controller's turnaround), microseconds.
    void setAnswerDelayUs(qint64 us) { m_answerDelayUs = qMax<qint64>(0, us); }
    qint64 answerDelayUs() const { return m_answerDelayUs; }

    // ---- faults
    void setFault(Fault f) { setFault(f, defaultParam(f)); }
    void setFault(Fault f, int param);
    Fault fault() const { return m_fault; }
    int faultParam() const { return m_faultParam; }
    static int defaultParam(Fault f);
    // "silence", "question", "slow:2000", "garbage:6", "split:50", "flood:100",
    // "flood:stream", "hangup:3", "stall:25000"; false (with a reason) for anything else.
    static bool parseFault(const QString &text, Fault *f, int *param, QString *error = nullptr);
    static QString faultName(Fault f);
    // True while the flood fault streams without being asked.
    bool streaming() const { return m_fault == Fault::Flood && m_faultParam < 0; }
    // The next n bytes of the flood (never a CR).
    QByteArray floodBytes(int n);
    // True once the hang-up fault has dropped the line; the transport then goes away.
    bool hungUp() const { return m_hungUp; }

    // ---- memory
    quint8 cell(int address) const { return quint8(m_memory.at(address & 0xFF)); }
    void setCell(int address, quint8 value) { m_memory[address & 0xFF] = char(value); }
    const QByteArray &memory() const { return m_memory; }
    // Power-up contents: all 00 except the marker cell 0x2A = FF.
    void resetMemory();
    // 16-bit field at address, low byte first.
    int field(int address) const { return cell(address) | (cell(address + 1) << 8); }
    void setField(int address, int value)
    {
        setCell(address, quint8(value & 0xFF));
        setCell(address + 1, quint8((value >> 8) & 0xFF));
    }
    // Eight staggered windows (output n: counts 128(n-1) to 128(n-1)+191, at most 1023)
    // and a hysteresis of 8 counts, so the outputs take turns as the level sweeps.
    void loadDemoSettings();

    // ---- input level
    void setWave(Wave w) { m_wave = w; }
    Wave wave() const { return m_wave; }
    void setLevel(int counts) { m_level = qBound(0, counts, MaxCount); }
    int baseLevel() const { return m_level; }
    // Length of one cycle of the waveform (a file plays all its counts over one period).
    void setPeriodUs(qint64 us) { m_periodUs = qMax<qint64>(1000, us); }
    qint64 periodUs() const { return m_periodUs; }
    void setSamples(const QList<int> &counts);
    // Reads counts 0-1023 one per line (blank lines and lines starting with '#' skipped)
    // and selects the file waveform.
    bool loadWaveFile(const QString &path, QString *error = nullptr);
    // "constant", "ramp", "sine", "steps", "file:PATH".
    bool parseWave(const QString &text, QString *error = nullptr);
    // The input level in counts at time tUs.
    int level(qint64 tUs) const;

    // ---- outputs
    // The output byte (bit n-1 = output n) for the level at tUs; updates the state the
    // hysteresis holds.
    quint8 outputs(qint64 tUs) { return evaluate(level(tUs)); }
    // The same for a given level.
    quint8 evaluate(int level);
    // Contact state before RelayMode inversion (what the hysteresis remembers).
    quint8 contacts() const { return m_contacts; }
    // Input type 1-5 selected by cell 0x2D; 4 and 5 are the distance modes.
    int inputType() const;
    // The level as the tool would show it: "2.50 V", "4.25 M" (distance: full scale minus).
    QString levelText(int counts) const;

    // ---- analog channels and position output
    // Value last set with "D" on a channel (-1: never set).
    int analogOut(int ch) const { return ch >= 0 && ch < 10 ? m_analog[ch] : -1; }
    QByteArray position() const { return m_position; }
    // Result character of "P" ('0' = normal end).
    char positionResult = '0';

    // ---- log of what the host sent
    const QList<Frame> &frames() const { return m_frames; }
    // Texts of the frames received (without CR), oldest first.
    QByteArrayList received() const;
    int frameCount() const { return m_frameCount; }
    void clearLog();
    // Keep at most this many frames in the log (the counter keeps counting).
    int logLimit = 100000;

    // Seed of the garbage bytes (the same seed gives the same garbage).
    void seed(quint32 s) { m_rng.seed(s); }

private:
    QList<Chunk> reply(const QByteArray &frame, qint64 nowUs);

    QByteArray m_memory;
    QByteArray m_partial;
    Wave m_wave = Wave::Constant;
    int m_level = 512;
    qint64 m_periodUs = 60LL * 1000000;
    QList<int> m_samples;
    quint8 m_contacts = 0;
    int m_analog[10];
    QByteArray m_position;
    Fault m_fault = Fault::None;
    int m_faultParam = 0;
    bool m_hungUp = false;
    int m_answered = 0;
    qint64 m_stallEndUs = -1; // the stall's end, once its first frame has come
    qint64 m_answerDelayUs = 0;
    quint64 m_floodPos = 0;
    QList<Frame> m_frames;
    int m_frameCount = 0;
    QRandomGenerator m_rng{20260105};
};
