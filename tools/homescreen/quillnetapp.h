// A stand-in of the Quillnet service's own phone application, as far as a tapped notification
// reaches it: the call that opens one of its views, reported as one line of text.
#pragma once

#include <QString>

#include "homescreen/busservice.h"

class QuillnetAppAdaptor;

namespace HomeScreen {

class QuillnetApp : public BusService
{
    Q_OBJECT
    Q_DISABLE_COPY(QuillnetApp)

public:
    static constexpr char ServiceName[] = "com.tarvo.quillnet";
    static constexpr char ObjectPath[] = "/OpenView";

    explicit QuillnetApp(QObject *parent = nullptr);
    ~QuillnetApp() override;

private:
    // The call arriving from the bus, made by the generated adaptor and nothing else.
    friend class ::QuillnetAppAdaptor;
    void openView(const QString &kind, const QString &id);
};

} // namespace HomeScreen
