// The user's locale as the notification texts need it: its name and the joining of names into one
// phrase ("A, B and C").
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class MLocale : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MLocale)

public:
    explicit MLocale(QObject *parent = nullptr);
    ~MLocale() override;

    // The current default locale's name, such as "en_US"; follows QLocale::setDefault.
    QString name() const;
    // The texts as one phrase in the current default locale's manner; empty for no texts.
    QString joinStringList(const QStringList &texts) const;
};
