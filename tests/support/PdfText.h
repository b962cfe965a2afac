#pragma once
// Reading a PDF the way a person would: its text through pdftotext and its first page as a
// picture through pdftoppm (both from poppler-utils). Header-only.
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>

// The text of the PDF, page by page in reading order with its layout; empty (and why set)
// when pdftotext is missing or fails.
inline QString pdfText(const QString &pdf, QString *why = nullptr)
{
    QProcess p;
    p.start(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), QStringLiteral("-enc"), QStringLiteral("UTF-8"), pdf,
                                          QStringLiteral("-")});
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (why)
            *why = QStringLiteral("pdftotext (poppler-utils) failed on %1: %2 %3")
                       .arg(pdf, p.errorString(), QString::fromUtf8(p.readAllStandardError()));
        return QString();
    }
    return QString::fromUtf8(p.readAllStandardOutput());
}

// The first page of the PDF as a PNG at dpi; false when pdftoppm is missing or fails.
inline bool pdfFirstPageToPng(const QString &pdf, const QString &png, int dpi = 60)
{
    const QString stem = png.endsWith(QLatin1String(".png")) ? png.chopped(4) : png;
    QDir().mkpath(QFileInfo(png).absolutePath());
    QProcess p;
    p.start(QStringLiteral("pdftoppm"), {QStringLiteral("-png"), QStringLiteral("-r"), QString::number(dpi),
                                         QStringLiteral("-f"), QStringLiteral("1"), QStringLiteral("-l"), QStringLiteral("1"),
                                         QStringLiteral("-singlefile"), pdf, stem});
    return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 &&
           QFileInfo::exists(stem + QStringLiteral(".png"));
}

// The folder the suites save their pictures in ($QELVO_SCREENSHOTS, else ./screenshots).
inline QString screenshotFolder()
{
    QString dir = qEnvironmentVariable("QELVO_SCREENSHOTS");
    if (dir.isEmpty())
        dir = QDir::currentPath() + QStringLiteral("/screenshots");
    QDir().mkpath(dir);
    return dir;
}
