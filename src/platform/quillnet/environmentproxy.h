// The proxies a program started from a shell or a service manager is told about: http_proxy,
// https_proxy, all_proxy and no_proxy, read as curl reads them. A background daemon has no desktop
// session to ask; Qt's own system configuration would load libproxy's desktop plug-ins (GIO and
// GSettings, or a JavaScript engine for a PAC file) into it.
#pragma once

#include <QList>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QStringList>

namespace Qn {

class EnvironmentProxyFactory : public QNetworkProxyFactory
{
public:
    // Reads the environment once.
    EnvironmentProxyFactory();

    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override;

    // Makes a factory of the current environment the process's for every network access manager.
    static void install();

private:
    bool bypasses(const QString &host) const;

    QNetworkProxy mHttp;
    QNetworkProxy mHttps;
    QStringList mNoProxy;
};

} // namespace Qn
