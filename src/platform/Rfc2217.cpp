#include "platform/Rfc2217.h"

// ---------------------------------------------------------------- TelnetParser

void TelnetParser::reset()
{
    m_state = State::Data;
    m_verb = 0;
    m_sub = Command();
}

void TelnetParser::feed(const QByteArray &bytes, QByteArray *data, QList<Command> *commands)
{
    for (const char ch : bytes) {
        const quint8 b = quint8(ch);
        switch (m_state) {
        case State::Data:
            if (b == Telnet::IAC)
                m_state = State::Iac;
            else
                data->append(char(b));
            break;
        case State::Iac:
        iac:
            switch (b) {
            case Telnet::IAC: // a doubled 0xFF is one data byte
                data->append(char(b));
                m_state = State::Data;
                break;
            case Telnet::WILL:
            case Telnet::WONT:
            case Telnet::DO:
            case Telnet::DONT:
                m_verb = b;
                m_state = State::Option;
                break;
            case Telnet::SB:
                m_state = State::SubOption;
                break;
            default: // NOP, GA, a stray SE and the like carry nothing for a serial line
                m_state = State::Data;
                break;
            }
            break;
        case State::Option:
            commands->append(Command{m_verb, b, QByteArray(), data->size()});
            m_state = State::Data;
            break;
        case State::SubOption:
            m_sub = Command{Telnet::SB, b, QByteArray(), 0};
            m_state = State::SubData;
            break;
        case State::SubData:
            if (b == Telnet::IAC)
                m_state = State::SubIac;
            else if (m_sub.payload.size() < kMaxSubnegotiation)
                m_sub.payload.append(char(b));
            break;
        case State::SubIac:
            if (b == Telnet::IAC) {
                if (m_sub.payload.size() < kMaxSubnegotiation)
                    m_sub.payload.append(char(b));
                m_state = State::SubData;
            } else if (b == Telnet::SE) {
                m_sub.dataAt = data->size();
                commands->append(m_sub);
                m_sub = Command();
                m_state = State::Data;
            } else {
                // A command inside an unfinished subnegotiation ends it unread; the byte
                // is taken as the command it is.
                m_sub = Command();
                m_state = State::Iac;
                goto iac;
            }
            break;
        }
    }
}

QByteArray TelnetParser::escape(const QByteArray &data)
{
    if (!data.contains(char(Telnet::IAC)))
        return data;
    QByteArray out;
    out.reserve(data.size() + 8);
    for (const char c : data) {
        out.append(c);
        if (quint8(c) == Telnet::IAC)
            out.append(c);
    }
    return out;
}

QByteArray TelnetParser::command(quint8 verb, quint8 option)
{
    const char b[3] = {char(Telnet::IAC), char(verb), char(option)};
    return QByteArray(b, 3);
}

QByteArray TelnetParser::subnegotiation(quint8 option, const QByteArray &payload)
{
    QByteArray out;
    out.append(char(Telnet::IAC)).append(char(Telnet::SB)).append(char(option));
    out.append(escape(payload));
    out.append(char(Telnet::IAC)).append(char(Telnet::SE));
    return out;
}

// ---------------------------------------------------------------- TelnetOptions

TelnetOptions::TelnetOptions(QList<quint8> local, QList<quint8> remote)
{
    for (quint8 o : local)
        m_local[o].wanted = true;
    for (quint8 o : remote)
        m_remote[o].wanted = true;
}

TelnetOptions::State &TelnetOptions::local(quint8 option) { return m_local[option]; }
TelnetOptions::State &TelnetOptions::remote(quint8 option) { return m_remote[option]; }

bool TelnetOptions::localEnabled(quint8 option) const { return m_local[option].enabled; }
bool TelnetOptions::remoteEnabled(quint8 option) const { return m_remote[option].enabled; }
bool TelnetOptions::localRefused(quint8 option) const { return m_local[option].refused; }
bool TelnetOptions::remoteAsked(quint8 option) const
{
    const State &s = m_remote[option];
    return s.enabled || (s.pending && !s.refused);
}

QByteArray TelnetOptions::start()
{
    QByteArray out;
    for (int o = 0; o < 256; ++o) {
        State &s = m_local[o];
        if (s.wanted && !s.enabled && !s.pending) {
            s.pending = true;
            out += TelnetParser::command(Telnet::WILL, quint8(o));
        }
    }
    for (int o = 0; o < 256; ++o) {
        State &s = m_remote[o];
        if (s.wanted && !s.enabled && !s.pending) {
            s.pending = true;
            out += TelnetParser::command(Telnet::DO, quint8(o));
        }
    }
    return out;
}

QByteArray TelnetOptions::enable(State &s, quint8 option, quint8 yes, quint8 no)
{
    if (s.enabled)
        return {};
    if (!s.wanted) {
        // Refused once; the option stays off, so the same request again changes nothing.
        if (s.refusalSent)
            return {};
        s.refusalSent = true;
        return TelnetParser::command(no, option);
    }
    s.enabled = true;
    s.refused = false;
    if (s.pending) {
        s.pending = false;
        return {};
    }
    return TelnetParser::command(yes, option);
}

QByteArray TelnetOptions::disable(State &s, quint8 option, quint8 no)
{
    if (s.pending) {
        s.pending = false;
        s.refused = true;
        s.enabled = false;
        return {};
    }
    if (!s.enabled)
        return {};
    s.enabled = false;
    return TelnetParser::command(no, option);
}

QByteArray TelnetOptions::handle(quint8 verb, quint8 option)
{
    switch (verb) {
    case Telnet::WILL: return enable(remote(option), option, Telnet::DO, Telnet::DONT);
    case Telnet::WONT: return disable(remote(option), option, Telnet::DONT);
    case Telnet::DO: return enable(local(option), option, Telnet::WILL, Telnet::WONT);
    case Telnet::DONT: return disable(local(option), option, Telnet::WONT);
    default:
        return {};
    }
}

// ---------------------------------------------------------------- NvtText

void NvtText::take(const QByteArray &in, qsizetype from, qsizetype to, bool text, QByteArray *out)
{
    if (from >= to)
        return;
    if (!text) {
        out->append(in.constData() + from, to - from);
        m_afterCr = false;
        return;
    }
    for (qsizetype i = from; i < to; ++i) {
        const char c = in.at(i);
        if (m_afterCr && c == '\0') {
            m_afterCr = false;
            continue;
        }
        m_afterCr = c == '\r';
        out->append(c);
    }
}

QByteArray NvtText::encode(const QByteArray &data, bool text)
{
    const QByteArray escaped = TelnetParser::escape(data);
    if (!text || !escaped.contains('\r'))
        return escaped;
    QByteArray out;
    out.reserve(escaped.size() + 8);
    for (const char c : escaped) {
        out.append(c);
        if (c == '\r')
            out.append('\0');
    }
    return out;
}

// ---------------------------------------------------------------- line settings

namespace {
using namespace ComPortOption;

constexpr quint32 kBaud = 9600;
constexpr quint8 kDataBits = 8;

QByteArray baudPayload(quint8 code, quint32 baud)
{
    QByteArray p(1, char(code));
    p.append(char(baud >> 24)).append(char(baud >> 16)).append(char(baud >> 8)).append(char(baud));
    return p;
}

QByteArray bytePayload(quint8 code, quint8 value) { return QByteArray(1, char(code)) + char(value); }

// The index of a setting's answer among the five, or -1.
int settingIndex(quint8 answerCode)
{
    switch (answerCode) {
    case ServerOffset + SetBaudRate: return 0;
    case ServerOffset + SetDataSize: return 1;
    case ServerOffset + SetParity: return 2;
    case ServerOffset + SetStopSize: return 3;
    case ServerOffset + SetControl: return 4;
    default: return -1;
    }
}

QString parityName(int p)
{
    switch (p) {
    case 1: return QStringLiteral("N");
    case 2: return QStringLiteral("O");
    case 3: return QStringLiteral("E");
    case 4: return QStringLiteral("M");
    case 5: return QStringLiteral("S");
    default: return QStringLiteral("?");
    }
}

QString stopName(int s)
{
    switch (s) {
    case 1: return QStringLiteral("1");
    case 2: return QStringLiteral("2");
    case 3: return QStringLiteral("1.5");
    default: return QStringLiteral("?");
    }
}

QString controlName(int c, bool japanese)
{
    switch (c) {
    case 1: return japanese ? QStringLiteral("ﾌﾛｰ制御なし") : QStringLiteral("no flow control");
    case 2: return QStringLiteral("XON/XOFF");
    case 3: return japanese ? QStringLiteral("RTS/CTS ﾌﾛｰ制御") : QStringLiteral("RTS/CTS flow control");
    default: return japanese ? QStringLiteral("ﾌﾛｰ制御 %1").arg(c) : QStringLiteral("flow control %1").arg(c);
    }
}
} // namespace

QByteArray Rfc2217Client::lineSettings()
{
    using namespace ComPortOption;
    QByteArray out;
    out += TelnetParser::subnegotiation(Telnet::OptComPort, baudPayload(SetBaudRate, kBaud));
    out += TelnetParser::subnegotiation(Telnet::OptComPort, bytePayload(SetDataSize, kDataBits));
    out += TelnetParser::subnegotiation(Telnet::OptComPort, bytePayload(SetParity, ParityNone));
    out += TelnetParser::subnegotiation(Telnet::OptComPort, bytePayload(SetStopSize, StopBits1));
    out += TelnetParser::subnegotiation(Telnet::OptComPort, bytePayload(SetControl, ControlNone));
    return out;
}

QByteArray Rfc2217Client::purge(quint8 which)
{
    return TelnetParser::subnegotiation(Telnet::OptComPort, bytePayload(ComPortOption::PurgeData, which));
}

// ---------------------------------------------------------------- Rfc2217Client

// Binary transmission both ways keeps the stream free of the network virtual terminal's
// CR rules; the option is offered, not insisted on.
Rfc2217Client::Rfc2217Client()
    : m_options({Telnet::OptBinary, Telnet::OptSuppressGoAhead, Telnet::OptComPort},
                {Telnet::OptBinary, Telnet::OptSuppressGoAhead})
{
}

QByteArray Rfc2217Client::start() { return m_options.start(); }

QByteArray Rfc2217Client::encode(const QByteArray &data) const { return NvtText::encode(data, !binaryOut()); }

QByteArray Rfc2217Client::receive(const QByteArray &bytes, QByteArray *data)
{
    QList<TelnetParser::Command> commands;
    QByteArray parsed;
    m_parser.feed(bytes, &parsed, &commands);
    QByteArray out;
    // The data before each command is read as the options stood then.
    qsizetype at = 0;
    for (const TelnetParser::Command &c : commands) {
        m_text.take(parsed, at, c.dataAt, !binaryIn(), data);
        at = c.dataAt;
        if (c.verb == Telnet::SB) {
            if (c.option == Telnet::OptComPort)
                onSubnegotiation(c.payload);
            continue;
        }
        out += m_options.handle(c.verb, c.option);
        if (c.option == Telnet::OptComPort && m_options.localRefused(Telnet::OptComPort) && !failed())
            m_failure = Failure::Refused;
    }
    m_text.take(parsed, at, parsed.size(), !binaryIn(), data);
    if (!m_settingsSent && !failed() && m_options.localEnabled(Telnet::OptComPort)) {
        m_settingsSent = true;
        out += lineSettings();
    }
    return out;
}

void Rfc2217Client::onSubnegotiation(const QByteArray &payload)
{
    using namespace ComPortOption;
    if (payload.isEmpty())
        return;
    const quint8 code = quint8(payload.at(0));
    if (code == ServerOffset + PurgeData) {
        ++m_purges;
        return;
    }
    const int index = settingIndex(code);
    if (index < 0 || !m_settingsSent || m_got[index])
        return; // notifications, the signature, repeated answers
    quint32 value = 0;
    if (index == 0) {
        if (payload.size() < 5)
            return;
        for (int i = 1; i <= 4; ++i)
            value = (value << 8) | quint8(payload.at(i));
    } else {
        if (payload.size() < 2)
            return;
        value = quint8(payload.at(1));
    }
    m_got[index] = true;
    ++m_answered;
    static constexpr quint32 kAsked[kSettings] = {kBaud, kDataBits, ParityNone, StopBits1, ControlNone};
    switch (index) {
    case 0: m_baud = value; break;
    case 1: m_dataBits = int(value); break;
    case 2: m_parity = int(value); break;
    case 3: m_stopBits = int(value); break;
    case 4: m_control = int(value); break;
    }
    if (value != kAsked[index] && !failed()) {
        m_failure = Failure::WrongSetting;
        m_wrongCode = code;
        m_wrongValue = value;
    }
}

QString Rfc2217Client::lineText() const
{
    QString t;
    if (m_got[0])
        t += QString::number(m_baud);
    if (m_got[1] || m_got[2] || m_got[3])
        t += QStringLiteral(" %1%2%3")
                 .arg(m_got[1] ? QString::number(m_dataBits) : QStringLiteral("?"),
                      m_got[2] ? parityName(m_parity) : QStringLiteral("?"),
                      m_got[3] ? stopName(m_stopBits) : QStringLiteral("?"));
    if (m_got[4])
        t += QStringLiteral(", ") + controlName(m_control, false);
    return t.trimmed();
}

QString Rfc2217Client::reason(bool japanese) const
{
    using namespace ComPortOption;
    switch (m_failure) {
    case Failure::None:
        return {};
    case Failure::Refused:
        return japanese ? QStringLiteral("ｻｰﾊﾞｰが RFC 2217 (COM-PORT-OPTION) を拒否しました。"
                                         "生の TCP ﾎﾟｰﾄなら tcp:// で指定してください。")
                        : QStringLiteral("the server refuses RFC 2217 (COM-PORT-OPTION); "
                                         "for a raw TCP port write tcp:// instead");
    case Failure::WrongSetting:
        break;
    }
    QString what, got, want;
    switch (m_wrongCode) {
    case ServerOffset + SetBaudRate:
        what = japanese ? QStringLiteral("通信速度") : QStringLiteral("baud rate");
        got = QString::number(m_wrongValue);
        want = QString::number(kBaud);
        break;
    case ServerOffset + SetDataSize:
        what = japanese ? QStringLiteral("ﾃﾞｰﾀﾋﾞｯﾄ") : QStringLiteral("data bits");
        got = QString::number(m_wrongValue);
        want = QString::number(kDataBits);
        break;
    case ServerOffset + SetParity:
        what = japanese ? QStringLiteral("ﾊﾟﾘﾃｨ") : QStringLiteral("parity");
        got = parityName(int(m_wrongValue));
        want = parityName(ParityNone);
        break;
    case ServerOffset + SetStopSize:
        what = japanese ? QStringLiteral("ｽﾄｯﾌﾟﾋﾞｯﾄ") : QStringLiteral("stop bits");
        got = stopName(int(m_wrongValue));
        want = stopName(StopBits1);
        break;
    default:
        what = japanese ? QStringLiteral("ﾌﾛｰ制御") : QStringLiteral("flow control");
        got = controlName(int(m_wrongValue), japanese);
        want = controlName(ControlNone, japanese);
        break;
    }
    return japanese ? QStringLiteral("ｻｰﾊﾞｰが%1を %2 にしました (%3 が必要です)。").arg(what, got, want)
                    : QStringLiteral("the server set the %1 to %2, not %3").arg(what, got, want);
}

// ---------------------------------------------------------------- Rfc2217Server

namespace {
QList<quint8> serverRemote(bool comPort, bool binary)
{
    QList<quint8> o{Telnet::OptSuppressGoAhead};
    if (binary)
        o << Telnet::OptBinary;
    if (comPort)
        o << Telnet::OptComPort;
    return o;
}
} // namespace

Rfc2217Server::Rfc2217Server(bool refuseComPort, bool refuseBinary)
    : m_options(refuseBinary ? QList<quint8>{Telnet::OptSuppressGoAhead}
                             : QList<quint8>{Telnet::OptBinary, Telnet::OptSuppressGoAhead},
                serverRemote(!refuseComPort, !refuseBinary)),
      m_refuse(refuseComPort)
{
}

QByteArray Rfc2217Server::encode(const QByteArray &data) const
{
    return NvtText::encode(data, !m_options.localEnabled(Telnet::OptBinary));
}

void Rfc2217Server::record(const QString &request)
{
    if (requests.size() < kMaxRequests)
        requests << request;
    else
        ++requestsDropped;
}

QByteArray Rfc2217Server::start() { return m_options.start(); }

int Rfc2217Server::takePurges()
{
    const int p = m_purges;
    m_purges = 0;
    return p;
}

QByteArray Rfc2217Server::receive(const QByteArray &bytes, QByteArray *data)
{
    QList<TelnetParser::Command> commands;
    QByteArray parsed;
    m_parser.feed(bytes, &parsed, &commands);
    QByteArray out;
    qsizetype at = 0;
    for (const TelnetParser::Command &c : commands) {
        m_text.take(parsed, at, c.dataAt, !m_options.remoteEnabled(Telnet::OptBinary), data);
        at = c.dataAt;
        if (c.verb == Telnet::SB) {
            // Our DO stands for the option until the client refuses it.
            if (c.option == Telnet::OptComPort && m_options.remoteAsked(Telnet::OptComPort))
                onSubnegotiation(c.payload, &out);
            continue;
        }
        out += m_options.handle(c.verb, c.option);
    }
    m_text.take(parsed, at, parsed.size(), !m_options.remoteEnabled(Telnet::OptBinary), data);
    return out;
}

void Rfc2217Server::onSubnegotiation(const QByteArray &payload, QByteArray *answer)
{
    using namespace ComPortOption;
    if (payload.isEmpty())
        return;
    const quint8 code = quint8(payload.at(0));
    const auto answerWith = [&](const QByteArray &p) { *answer += TelnetParser::subnegotiation(Telnet::OptComPort, p); };
    switch (code) {
    case Signature:
        answerWith(QByteArray(1, char(ServerOffset + Signature)) + m_signature);
        break;
    case SetBaudRate: {
        if (payload.size() < 5)
            return;
        quint32 v = 0;
        for (int i = 1; i <= 4; ++i)
            v = (v << 8) | quint8(payload.at(i));
        record(QStringLiteral("baud %1").arg(v));
        if (m_fixed && v != 0 && v != kBaud)
            ++m_declined;
        answerWith(baudPayload(ServerOffset + SetBaudRate, v == 0 || m_fixed ? kBaud : v));
        break;
    }
    case SetDataSize:
    case SetParity:
    case SetStopSize:
    case SetControl:
    case SetLineStateMask:
    case SetModemStateMask:
    case PurgeData: {
        if (payload.size() < 2)
            return;
        const quint8 v = quint8(payload.at(1));
        static const char *names[] = {"", "", "data", "parity", "stop", "control", "", "", "", "", "linemask",
                                      "modemmask", "purge"};
        record(QStringLiteral("%1 %2").arg(QLatin1String(names[code])).arg(v));
        quint8 taken = v;
        // The line's own setting: 8N1 without flow control. A fixed line answers it to
        // whatever was asked of the data size, parity, stop bits and outbound flow control.
        const bool lineSetting = code >= SetDataSize && code <= SetStopSize;
        const bool flowSetting = code == SetControl && v <= 3;
        const quint8 own = code == SetDataSize ? kDataBits : 1;
        if (v == 0 && (lineSetting || code == SetControl))
            taken = own;
        else if (m_fixed && (lineSetting || flowSetting) && v != own) {
            taken = own;
            ++m_declined;
        }
        if (code == PurgeData)
            m_purges |= v & PurgeBoth;
        answerWith(bytePayload(ServerOffset + code, taken));
        break;
    }
    default: // notifications and flow control suspend/resume need no answer
        break;
    }
}
