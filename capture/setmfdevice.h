#pragma once

#include <QString>

#include <memory>

class IMFDevice;

// Opens the first device of the type whose name equals the name exactly and, when a line is given, selects
// that input line ("line-in"). True when the device was opened and the line, if any, set. The reference
// handed in is dropped before returning.
bool setMFDevice(std::shared_ptr<IMFDevice> device, int type, QString name, QString line);
