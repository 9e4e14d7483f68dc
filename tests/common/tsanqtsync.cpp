// Linked only into ThreadSanitizer builds (TIDEWELL_TSAN), into every test executable and the program.
//
// Qt 5 on Linux locks QMutex with futexes, and joins a QThread and guards its event queues with futex-based
// mutexes of its own, all inside libQt5Core, which is not instrumented: ThreadSanitizer sees none of that
// synchronisation and would report every member a worker writes before its owner's wait() returns, every
// list our code guards with a QMutex, and every queued call's captures. These definitions interpose the few
// Qt entry points our code (and Qt's other libraries) call: the executable's own definition wins over
// libQt5Core's. They forward to the real ones and tell ThreadSanitizer about the happens-before edge each
// one gives. Calls Qt makes inside libQt5Core are not affected; tests/tsan.supp names what that leaves.

#include <QCoreApplication>
#include <QMetaObject>
#include <QMutex>
#include <QThread>
#include <QVariant>
#include <QWaitCondition>

#include <dlfcn.h>

#include <sanitizer/tsan_interface.h>

namespace {

template <typename Fn> Fn realFunction(const char *mangledName) {
    // Qt 5 versions its symbols; the default version of the next definition is libQt5Core's own.
    void *fn = dlsym(RTLD_NEXT, mangledName);
    if (!fn)
        __builtin_trap();
    return reinterpret_cast<Fn>(fn);
}

// The edge from a worker's last write to the thread that sees it finished.
void *finishedEdge(const QThread *thread) {
    return const_cast<QThread *>(thread);
}

const char kHookedProperty[] = "_tidewell_tsan_hooked";

// Posting an event takes the receiving thread's queue lock, a futex QMutex of libQt5Core; all queues are
// modelled as this one lock (most posts go to the GUI thread's queue anyway).
char postedEventQueues;

// The edge from a post to the delivery of its event to the receiver; offset from the object's address so that
// it stays apart from the edge a QThread receiver has for its end.
void *deliveryEdge(const QObject *receiver) {
    return reinterpret_cast<char *>(const_cast<QObject *>(receiver)) + 1;
}

// Brackets a call that posts an event. The release for the receiver comes first: the event may be delivered
// before the call returns.
struct PostingCall {
    explicit PostingCall(const QObject *receiver) {
        __tsan_acquire(&postedEventQueues);
        if (receiver)
            __tsan_release(deliveryEdge(receiver));
    }
    ~PostingCall() { __tsan_release(&postedEventQueues); }
};

// Sees every event delivered to an object of the GUI thread, just before the object gets it.
class DeliveryFilter : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *) override {
        __tsan_acquire(deliveryEdge(watched));
        return false;
    }
};

void installDeliveryFilter() {
    QCoreApplication::instance()->installEventFilter(new DeliveryFilter(QCoreApplication::instance()));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installDeliveryFilter)

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT {
    static const auto real = realFunction<void (*)(QMutex *)>("_ZN6QMutex4lockEv");
    real(this);
    __tsan_acquire(this);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT {
    static const auto real = realFunction<bool (*)(QMutex *, int)>("_ZN6QMutex7tryLockEi");
    const bool locked = real(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QMutex::unlock() noexcept {
    static const auto real = realFunction<void (*)(QMutex *)>("_ZN6QMutex6unlockEv");
    __tsan_release(this);
    real(this);
}

// QWaitCondition unlocks and relocks the mutex inside libQt5Core, past the definitions above.
bool QWaitCondition::wait(QMutex *lockedMutex, QDeadlineTimer deadline) {
    static const auto real = realFunction<bool (*)(QWaitCondition *, QMutex *, QDeadlineTimer)>(
        "_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    __tsan_release(lockedMutex);
    const bool woken = real(this, lockedMutex, deadline);
    __tsan_acquire(lockedMutex);
    return woken;
}

bool QWaitCondition::wait(QMutex *lockedMutex, unsigned long time) {
    static const auto real =
        realFunction<bool (*)(QWaitCondition *, QMutex *, unsigned long)>("_ZN14QWaitCondition4waitEP6QMutexm");
    __tsan_release(lockedMutex);
    const bool woken = real(this, lockedMutex, time);
    __tsan_acquire(lockedMutex);
    return woken;
}

void QThread::start(Priority priority) {
    static const auto real = realFunction<void (*)(QThread *, Priority)>("_ZN7QThread5startENS_8PriorityE");
    if (!property(kHookedProperty).toBool()) {
        setProperty(kHookedProperty, true);
        // finished() is emitted on the worker itself, after run() returned and before wait() can return.
        QObject::connect(this, &QThread::finished, [this] { __tsan_release(finishedEdge(this)); });
    }
    real(this, priority);
}

bool QThread::wait(QDeadlineTimer deadline) {
    static const auto real = realFunction<bool (*)(QThread *, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool done = real(this, deadline);
    if (done)
        __tsan_acquire(finishedEdge(this));
    return done;
}

bool QThread::wait(unsigned long time) {
    static const auto real = realFunction<bool (*)(QThread *, unsigned long)>("_ZN7QThread4waitEm");
    const bool done = real(this, time);
    if (done)
        __tsan_acquire(finishedEdge(this));
    return done;
}

// A Start that finds the previous run already over does not wait() for it; not running is its end all the same.
bool QThread::isRunning() const {
    static const auto real = realFunction<bool (*)(const QThread *)>("_ZNK7QThread9isRunningEv");
    const bool running = real(this);
    if (!running)
        __tsan_acquire(finishedEdge(this));
    return running;
}

bool QThread::isFinished() const {
    static const auto real = realFunction<bool (*)(const QThread *)>("_ZNK7QThread10isFinishedEv");
    const bool finished = real(this);
    if (finished)
        __tsan_acquire(finishedEdge(this));
    return finished;
}

// Reached from our code, and from Qt's other libraries (a widget's update, a timer), not from inside
// libQt5Core.
void QCoreApplication::postEvent(QObject *receiver, QEvent *event, int priority) {
    static const auto real =
        realFunction<void (*)(QObject *, QEvent *, int)>("_ZN16QCoreApplication9postEventEP7QObjectP6QEventi");
    PostingCall posting(receiver);
    real(receiver, event, priority);
}

bool QMetaObject::invokeMethod(QObject *object, const char *member, Qt::ConnectionType type, QGenericReturnArgument ret,
                               QGenericArgument val0, QGenericArgument val1, QGenericArgument val2,
                               QGenericArgument val3, QGenericArgument val4, QGenericArgument val5,
                               QGenericArgument val6, QGenericArgument val7, QGenericArgument val8,
                               QGenericArgument val9) {
    using Invoke = bool (*)(QObject *, const char *, Qt::ConnectionType, QGenericReturnArgument, QGenericArgument,
                            QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument,
                            QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument);
    static const auto real = realFunction<Invoke>("_ZN11QMetaObject12invokeMethodEP7QObjectPKcN2Qt14ConnectionTypeE22Q"
                                                  "GenericReturnArgument16QGenericArgumentS7_S7_S7_S7_S7_S7_S7_S7_S7_");
    PostingCall posting(object);
    return real(object, member, type, ret, val0, val1, val2, val3, val4, val5, val6, val7, val8, val9);
}

bool QMetaObject::invokeMethodImpl(QObject *object, QtPrivate::QSlotObjectBase *slot, Qt::ConnectionType type,
                                   void *ret) {
    using Invoke = bool (*)(QObject *, QtPrivate::QSlotObjectBase *, Qt::ConnectionType, void *);
    static const auto real = realFunction<Invoke>(
        "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
    PostingCall posting(object);
    return real(object, slot, type, ret);
}

// A signal with a queued connection posts inside libQt5Core, to receivers not known here: only the queue's
// own ordering is announced, which Qt's other libraries' emissions need as much as ours.
void QMetaObject::activate(QObject *sender, const QMetaObject *metaObject, int localSignalIndex, void **argv) {
    static const auto real = realFunction<void (*)(QObject *, const QMetaObject *, int, void **)>(
        "_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
    PostingCall posting(nullptr);
    real(sender, metaObject, localSignalIndex, argv);
}

void QMetaObject::activate(QObject *sender, int signalOffset, int localSignalIndex, void **argv) {
    static const auto real =
        realFunction<void (*)(QObject *, int, int, void **)>("_ZN11QMetaObject8activateEP7QObjectiiPPv");
    PostingCall posting(nullptr);
    real(sender, signalOffset, localSignalIndex, argv);
}

void QObject::deleteLater() {
    static const auto real = realFunction<void (*)(QObject *)>("_ZN7QObject11deleteLaterEv");
    PostingCall posting(this);
    real(this);
}
