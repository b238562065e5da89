// quillnetctl: signs in to Quillnet and looks inside the running daemon. Each command lives in its
// own unit of the quillnetctl library; this only picks one.
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTextStream>

#include "ctl/login.h"
#include "ctl/status.h"

namespace {

struct Command
{
    const char *name;
    int (*run)(const QStringList &arguments, QTextStream &out, QTextStream &err);
};

const Command Commands[] = {
        {"status", Ctl::status},
        {"sync", Ctl::sync},
        {"why", Ctl::why},
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillnetctl"));
    const QStringList arguments = QCoreApplication::arguments();
    const QString word = arguments.value(1);
    // Login parses its own options, with "quillnetctl login" as the program name.
    if (word == QLatin1String("login"))
        return Ctl::runLogin(QStringList {arguments.value(0) + QLatin1Char(' ') + word} + arguments.mid(2));

    // The program says what matters itself; the libraries' traces are for the daemon's log.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.warning=false"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    for (const Command &command : Commands) {
        if (word == QLatin1String(command.name))
            return command.run(arguments.mid(2), out, err);
    }
    const bool help = word == QLatin1String("--help") || word == QLatin1String("-h");
    (help ? out : err) << "usage: quillnetctl <command> [options]\n"
                          "  login                 sign in to Quillnet in the browser (quillnetctl login --help)\n"
                          "  status [--json]       is the daemon running and logged in, what did it do last\n"
                          "  sync                  ask for a sync and wait for its end\n"
                          "  why <friendreq|event|message|notif> <id> [--json]\n"
                          "                        why was I (not) notified of this?\n";
    return help ? 0 : 2;
}
