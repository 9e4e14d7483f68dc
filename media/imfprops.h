#pragma once

#include <QString>

// Named properties of a media object, each optionally with a list of options to choose from.
class IMFProps {
public:
    virtual ~IMFProps() = default;
    virtual int PropsSet(const QString &name, const QString &value) = 0;
    virtual int PropsGet(const QString &name, QString *value) = 0;
    virtual int PropsOptionGetCount(const QString &name, int *count) = 0;
    virtual int PropsOptionGetByIndex(const QString &name, int index, QString *value, QString *description) = 0;
    virtual int PropsOptionSetByIndex(const QString &name, int index) = 0;
};
