#include "CliText.h"

#include <unistd.h>

int DisplayWidth(const QString &text)
{
    int width = 0;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        const bool wide = (u >= 0x1100 && u <= 0x115F) || (u >= 0x2E80 && u <= 0xA4CF) || (u >= 0xAC00 && u <= 0xD7A3) ||
                          (u >= 0xF900 && u <= 0xFAFF) || (u >= 0xFE30 && u <= 0xFE4F) || (u >= 0xFF00 && u <= 0xFF60) ||
                          (u >= 0xFFE0 && u <= 0xFFE6);
        width += wide ? 2 : 1;
    }
    return width;
}

QString PadTo(const QString &text, int width)
{
    return text + QString(qMax(0, width - DisplayWidth(text)), QLatin1Char(' '));
}

QStringList AlignColumns(const QList<QStringList> &rows)
{
    QList<int> widths;
    for (const QStringList &r : rows)
        for (int i = 0; i < r.size(); ++i) {
            if (widths.size() <= i)
                widths.append(0);
            widths[i] = qMax(widths[i], DisplayWidth(r[i]));
        }
    QStringList out;
    for (const QStringList &r : rows) {
        QString line;
        for (int i = 0; i < r.size(); ++i)
            line += i + 1 < r.size() ? PadTo(r[i], widths[i] + 2) : r[i];
        out << line;
    }
    return out;
}

void PrintOut(const QString &line)
{
    fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    fflush(stdout);
}

void PrintError(const QString &line)
{
    fflush(stdout);
    // One write for the whole line, so that lines of several processes never mix.
    const QByteArray bytes = (QStringLiteral("qelvo-cli: ") + line + QLatin1Char('\n')).toUtf8();
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, bytes.constData(), size_t(bytes.size()));
}

bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }
bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }
