// quillnetctl: signs in to the service and looks inside the running daemon. One word per command;
// the commands live in the library.
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTextStream>

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
    // The program says what matters itself; the libraries' traces are for the daemon's log.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.warning=false"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString word = arguments.isEmpty() ? QString() : arguments.takeFirst();
    for (const Command &command : Commands) {
        if (word == QLatin1String(command.name))
            return command.run(arguments, out, err);
    }
    err << "usage: quillnetctl status [--json] | sync | why <friendreq|event|message|notif> <id> [--json]\n";
    return 2;
}
