#pragma once

#include <QSize>
#include <QString>

// Everything one Start hands to the relay and to the capture thread, read from the form at that moment.
struct StreamRequest {
    bool rist = false;

    // SRT relay, in the order startRetransmit takes them.
    QString host; // as typed, before resolving
    QString address;
    QString interfaceAddress;
    int port = 0;
    QString streamId;
    int latency = 0;
    QString passphrase;
    int keyLength = 0;
    bool lossless = false;

    // Capture thread.
    QSize frameSize;
    int videoBitrate = 0;
    int audioBitrate = 0;
    QString videoDevice;
    int displayIndex = -1;
    QString audioChoice;
    QString codec;
    int frameRate = 0;
    int interlace = 3;
    QString encoderOptions;
    QString audioChannels;
    int sampleRate = 0;
};
