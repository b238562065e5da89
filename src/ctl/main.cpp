// quillnetctl: signs in to Quillnet and looks inside the running daemon. Each command lives in its
// own unit of the quillnetctl library; this only picks one.
#include <QCoreApplication>
#include <QTextStream>

#include "ctl/login.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillnetctl"));
    const QStringList arguments = QCoreApplication::arguments();
    // Each command parses its own options, with "quillnetctl <command>" as the program name.
    const QString command = arguments.value(1);
    const QStringList commandArguments
            = QStringList {arguments.value(0) + QLatin1Char(' ') + command} + arguments.mid(2);
    if (command == QLatin1String("login"))
        return Ctl::runLogin(commandArguments);

    const bool help = command == QLatin1String("--help") || command == QLatin1String("-h");
    QTextStream(help ? stdout : stderr) << "usage: quillnetctl <command> [options]\n"
                                           "  login    sign in to Quillnet in the browser (quillnetctl login --help)\n";
    return help ? 0 : 2;
}
