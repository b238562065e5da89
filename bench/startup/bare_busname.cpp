// The floor of the start-up benchmark: a Qt program that does nothing but take one bus name.
#include <QCoreApplication>
#include <QDBusConnection>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (!QDBusConnection::sessionBus().registerService(QStringLiteral("com.tarvo.benchbare")))
        return 1;
    return app.exec();
}
