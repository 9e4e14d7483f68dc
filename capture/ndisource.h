#pragma once

#include <QStringList>

#include <functional>
#include <memory>

class MFormats;

// A second live source that stays open for the program's life only to discover NDI sources on the network:
// the NDI receiver's input lines are the sources it has found so far.
class NDISource {
public:
    NDISource();
    // Tests hand in a scripted live source.
    explicit NDISource(const std::function<std::shared_ptr<MFormats>()> &createSource);

    void initNDI();
    const std::shared_ptr<MFormats> &object() const { return source; }

private:
    std::function<std::shared_ptr<MFormats>()> create;
    std::shared_ptr<MFormats> source;
};

// Appends "NDI:" + name for every NDI source found so far.
void listNDISources(const NDISource &ndi, QStringList &list);
