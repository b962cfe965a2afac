#include "app/modCommandLine.h"

#include "qelvo_version.h"

#include <QCommandLineParser>
#include <QFileInfo>

namespace {
struct Parser {
    QCommandLineParser p;
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Displays this help and ends.")};
    QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")}, QStringLiteral("Displays the version and ends.")};

    Parser()
    {
        p.setApplicationDescription(QStringLiteral(
            "Sets up and watches a water-level comparator controller over its serial line.\n"
            "Start it without options; pick the COM port under ﾂｰﾙ > 設定 > 一般設定."));
        p.addOption(help);
        p.addOption(version);
    }
};

QString programName(const QStringList &args)
{
    return args.isEmpty() ? QStringLiteral("qelvo") : QFileInfo(args.first()).fileName();
}

CommandLineOutcome printed(const QString &out)
{
    CommandLineOutcome o;
    o.start = false;
    o.out = out;
    return o;
}

QString helpText(Parser &parser, const QStringList &args)
{
    // Without an application object the parser does not know the program's name.
    QString text = parser.p.helpText();
    const QString stand = QStringLiteral("<executable_name>");
    if (text.contains(stand))
        text.replace(stand, programName(args));
    return text;
}
} // namespace

CommandLineOutcome CommandLineBeforeApp(const QStringList &args)
{
    Parser parser;
    // Options the application object takes are unknown here and are left for it.
    parser.p.parse(args);
    if (parser.p.isSet(parser.help))
        return printed(helpText(parser, args));
    if (parser.p.isSet(parser.version))
        return printed(QStringLiteral("%1 %2\n").arg(programName(args), QStringLiteral(QELVO_VERSION)));
    return {};
}

CommandLineOutcome CommandLineAfterApp(const QStringList &args)
{
    Parser parser;
    QString error;
    if (!parser.p.parse(args))
        error = parser.p.errorText();
    else if (!parser.p.positionalArguments().isEmpty())
        error = QStringLiteral("Unexpected argument '%1'.").arg(parser.p.positionalArguments().first());
    else
        return {};
    CommandLineOutcome o;
    o.start = false;
    o.exitCode = 1;
    o.err = QStringLiteral("%1: %2\nThe tool takes no options but --help and --version; see %1 --help.\n")
                .arg(programName(args), error);
    return o;
}
