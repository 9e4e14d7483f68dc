#include "pulseclient.h"

#include <pulse/error.h>

#include <QElapsedTimer>

namespace {
constexpr int MICROSECONDS_PER_MS = 1000;
}

PulseClient::~PulseClient() {
    disconnect();
}

bool PulseClient::connect(int timeoutMs, const std::atomic<bool> *abort, QString *error) {
    disconnect();
    loop = pa_mainloop_new();
    ctx = loop ? pa_context_new(pa_mainloop_get_api(loop), "Tidewell") : nullptr;
    if (!ctx) {
        *error = QStringLiteral("cannot create a PulseAudio context");
        disconnect();
        return false;
    }
    if (pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        *error = QStringLiteral("no PulseAudio server: %1").arg(lastError());
        disconnect();
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(ctx);
        if (state == PA_CONTEXT_READY)
            return true;
        if (!PA_CONTEXT_IS_GOOD(state)) {
            *error = QStringLiteral("no PulseAudio server: %1").arg(lastError());
            break;
        }
        if ((abort && abort->load()) || clock.elapsed() >= timeoutMs) {
            *error = QStringLiteral("the PulseAudio server did not answer within %1 ms").arg(timeoutMs);
            break;
        }
        if (!iterate(qMax<qint64>(1, qMin<qint64>(100, timeoutMs - clock.elapsed())))) {
            *error = QStringLiteral("PulseAudio connection failed: %1").arg(lastError());
            break;
        }
    }
    disconnect();
    return false;
}

void PulseClient::disconnect() {
    if (ctx) {
        pa_context_disconnect(ctx);
        pa_context_unref(ctx);
        ctx = nullptr;
    }
    if (loop) {
        pa_mainloop_free(loop);
        loop = nullptr;
    }
}

bool PulseClient::iterate(int timeoutMs) {
    if (!loop)
        return false;
    if (pa_mainloop_prepare(loop, timeoutMs * MICROSECONDS_PER_MS) < 0)
        return false;
    if (pa_mainloop_poll(loop) < 0)
        return false;
    if (pa_mainloop_dispatch(loop) < 0)
        return false;
    return !ctx || PA_CONTEXT_IS_GOOD(pa_context_get_state(ctx));
}

bool PulseClient::finish(pa_operation *operation, int timeoutMs, const std::atomic<bool> *abort) {
    if (!operation)
        return false;
    QElapsedTimer clock;
    clock.start();
    bool done = false;
    for (;;) {
        if (pa_operation_get_state(operation) != PA_OPERATION_RUNNING) {
            done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
            break;
        }
        if ((abort && abort->load()) || clock.elapsed() >= timeoutMs || !iterate(100))
            break;
    }
    if (!done)
        pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return done;
}

bool PulseClient::connected() const {
    return ctx && pa_context_get_state(ctx) == PA_CONTEXT_READY;
}

QString PulseClient::lastError() const {
    return QString::fromUtf8(pa_strerror(ctx ? pa_context_errno(ctx) : PA_ERR_UNKNOWN));
}
