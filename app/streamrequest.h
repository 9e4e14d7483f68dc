#pragma once

#include <QSize>
#include <QString>

// Everything one Start hands to the relay and to the capture thread, read from the form at that moment.
struct StreamRequest {
    bool rist = false;
    // The stream carries an alpha mask: the capture splits it, the relay marks the stream id.
    bool alpha = false;

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
    // The backup server, with the main one's stream id, passphrase, key length and latency; port 0: none.
    QString backupHost; // as typed, before resolving
    QString backupAddress;
    QString backupInterfaceAddress;
    int backupPort = 0;

    // RIST relay: ticked paths as tokens, servers as typed (trimmed, lower case), cname and secret.
    QString bondings;
    QString servers;
    QString ristStreamId;
    QString secret;

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
