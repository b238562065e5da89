// What the benchmark programs share: printing figures, medians, a process's CPU time, memory and
// context switches from /proc, a private session bus, the simulator and the home screen as child
// processes, and the instruction count of one part of a program under callgrind.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <functional>
#include <memory>

#include "platform/quillnet/qncache.h"
#include "platform/quillnet/quillnet.h"

namespace Bench {

// A client of the simulator at url on a cache of its own in dir: where every handler benchmark starts.
class SignedInClient
{
public:
    SignedInClient(const QString &dir, const QString &token, const QUrl &url);
    // Signs in; false when the client did not within 30 s.
    bool signIn();
    Qn::Quillnet &client() { return mClient; }

private:
    Qn::QnCache mCache;
    Qn::Quillnet mClient;
};

double median(QList<double> values);

// One figure as a JSON object on its own line of standard output: name, value, unit and, with a
// floor above 0, the floor and ratio value / floor. `extra` members are added as they are.
void print(const QString &name, double value, const QString &unit, double floor = -1,
           const QJsonObject &extra = QJsonObject());

// From /proc/<pid>; -1 when it cannot be read.
qint64 residentKiB(qint64 pid);
qint64 peakResidentKiB(qint64 pid);
// The resident memory that is the process' own (heap, stacks), against the pages of its mapped files
// (mostly the shared libraries' code, which other programs of the session share).
qint64 residentAnonymousKiB(qint64 pid);
qint64 residentFileKiB(qint64 pid);
// User and system time of all threads, in milliseconds.
double cpuMs(qint64 pid);
// Voluntary and involuntary context switches of all threads: each is a wake-up or a preemption.
qint64 contextSwitches(qint64 pid);
double selfCpuMs();

// Waits in the event loop for at most `ms` milliseconds or until `done` says true.
bool waitFor(const std::function<bool()> &done, int ms);

// Runs `work` as the measured part of a program: under callgrind (--instr-atstart=no), only what
// happens in it, in every thread, is counted.
void measured(const std::function<void()> &work);

// A dbus-daemon of this run; its address is exported to the environment of child processes and of
// this process' own session bus connection.
class PrivateBus
{
public:
    PrivateBus();
    ~PrivateBus();
    bool isRunning() const { return !mAddress.isEmpty(); }
    QString address() const { return mAddress; }

private:
    QProcess mProcess;
    QString mAddress;
};

// The simulator program on a free port, with the options given.
class SimProcess
{
public:
    explicit SimProcess(const QStringList &options);
    ~SimProcess();
    bool isRunning() const { return mPort != 0; }
    QUrl url() const;
    QString refreshToken() const { return mRefreshToken; }
    qint64 pid() const { return mProcess.processId(); }
    // A fresh access token from the token endpoint (which replaces the earlier one); empty on failure.
    QString grantAccessToken();
    // Writes the daemon's account file for this simulator below configHome, every switch and the IM
    // service on. False when it cannot be written.
    bool writeAccount(const QString &configHome) const;

private:
    QProcess mProcess;
    quint16 mPort = 0;
    QString mRefreshToken;
};

// The reference home screen (Event Feed, notification server, the service's app) on the bus of
// this run, once it owns its names.
class HomeScreen
{
public:
    HomeScreen();
    ~HomeScreen();
    bool isRunning() const { return mRunning; }
    qint64 pid() const { return mProcess.processId(); }

private:
    QTemporaryDir mOutputDir;
    QProcess mProcess;
    bool mRunning = false;
};

// Number of requests a simulator has recorded (at most its log size), -1 when it did not answer.
int recordedRequests(const QUrl &simulator);

// Runs this program again with `arguments` and answers the JSON object of its last line of output,
// or an empty object when it failed. With callgrind set, runs it under callgrind and adds the
// instruction count of its measured part as "instructions".
QJsonObject runPart(const QStringList &arguments, bool callgrind = false);

// The JSON line a part prints at its end.
void printPart(const QJsonObject &object);

} // namespace Bench
