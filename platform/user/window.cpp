#include "platform/user/window.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <unordered_map>

#include "platform/kernel/sync.h"

namespace {

// Answers a cross-thread SendMessage: fulfilled by the handler, or with 0 when the message is
// dropped because its window has gone.
struct SendReply {
    std::promise<LRESULT> promise;
    std::once_flag once;
    void Fulfil(LRESULT value) {
        std::call_once(once, [&] { promise.set_value(value); });
    }
};

struct PendingMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::shared_ptr<SendReply> reply;
    std::function<void()> call;  // run on the windows' thread instead of a message
};

class Dispatcher;

// The handle table and the queue of posted messages. Messages wait in our own queue, under our
// own lock, and Qt only carries a payload-free wake-up to the dispatcher: the hand-off between
// threads is then ours, in the order the messages were posted.
class WindowTable {
  public:
    // Answers the widget's handle; isNew tells a first registration, needDispatcher that no
    // dispatcher exists yet.
    HWND Register(QWidget* widget, bool* isNew, bool* needDispatcher);
    void Drop(HWND hwnd);
    QWidget* Find(HWND hwnd);
    bool Known(HWND hwnd);
    bool Post(PendingMessage message);
    std::deque<PendingMessage> TakeQueue();
    HWND AddSink(std::shared_ptr<platform::MessageSink> sink);
    void DropSink(HWND hwnd);
    std::shared_ptr<platform::MessageSink> FindSink(HWND hwnd);
    void SetDispatcher(Dispatcher* dispatcher);
    void DispatcherGone(Dispatcher* dispatcher);

  private:
    HWND NextHandle();  // under mutex_

    std::mutex mutex_;
    HWND next_ = 0x10;
    std::unordered_map<HWND, std::shared_ptr<platform::MessageSink>> sinks_;
    std::unordered_map<HWND, QPointer<QWidget>> widgets_;
    std::unordered_map<QWidget*, HWND> handles_;
    Dispatcher* dispatcher_ = nullptr;
    std::deque<PendingMessage> queue_;
    bool wakePosted_ = false;
};

WindowTable& Table() {
    static auto* table = new WindowTable;  // lives as long as the process
    return *table;
}

void Deliver(const PendingMessage& pending) {
    LRESULT result = 0;
    if (pending.call) {
        pending.call();
    } else if (QWidget* widget = Table().Find(pending.hwnd)) {
        WindowMessageEvent event(pending.hwnd, pending.message, pending.wParam, pending.lParam);
        event.setAccepted(false);
        QCoreApplication::sendEvent(widget, &event);
        result = event.result;
    }
    if (pending.reply) pending.reply->Fulfil(result);
}

// Lives on the windows' thread and hands queued messages to their widgets there.
class Dispatcher : public QObject {
  public:
    Dispatcher() { Table().SetDispatcher(this); }
    ~Dispatcher() override { Table().DispatcherGone(this); }

  protected:
    void customEvent(QEvent*) override {
        for (const PendingMessage& pending : Table().TakeQueue()) Deliver(pending);
    }
};

HWND WindowTable::Register(QWidget* widget, bool* isNew, bool* needDispatcher) {
    std::lock_guard lock(mutex_);
    *isNew = false;
    *needDispatcher = dispatcher_ == nullptr;
    if (auto it = handles_.find(widget); it != handles_.end()) return it->second;
    *isNew = true;
    HWND hwnd = NextHandle();
    widgets_.emplace(hwnd, QPointer<QWidget>(widget));
    handles_.emplace(widget, hwnd);
    return hwnd;
}

HWND WindowTable::NextHandle() {
    HWND hwnd = next_++;
    if (next_ == 0) next_ = 0x10;
    return hwnd;
}

HWND WindowTable::AddSink(std::shared_ptr<platform::MessageSink> sink) {
    std::lock_guard lock(mutex_);
    HWND hwnd = NextHandle();
    sinks_.emplace(hwnd, std::move(sink));
    return hwnd;
}

void WindowTable::DropSink(HWND hwnd) {
    std::shared_ptr<platform::MessageSink> gone;
    std::lock_guard lock(mutex_);
    if (auto it = sinks_.find(hwnd); it != sinks_.end()) {
        gone = std::move(it->second);
        sinks_.erase(it);
    }
}

std::shared_ptr<platform::MessageSink> WindowTable::FindSink(HWND hwnd) {
    std::lock_guard lock(mutex_);
    auto it = sinks_.find(hwnd);
    return it == sinks_.end() ? nullptr : it->second;
}

void WindowTable::Drop(HWND hwnd) {
    std::lock_guard lock(mutex_);
    auto it = widgets_.find(hwnd);
    if (it == widgets_.end()) return;
    for (auto h = handles_.begin(); h != handles_.end(); ++h) {
        if (h->second == hwnd) {
            handles_.erase(h);
            break;
        }
    }
    widgets_.erase(it);
}

QWidget* WindowTable::Find(HWND hwnd) {
    std::lock_guard lock(mutex_);
    auto it = widgets_.find(hwnd);
    return it == widgets_.end() ? nullptr : it->second.data();
}

bool WindowTable::Known(HWND hwnd) {
    std::lock_guard lock(mutex_);
    if (sinks_.count(hwnd)) return true;
    auto it = widgets_.find(hwnd);
    return it != widgets_.end() && !it->second.isNull();
}

bool WindowTable::Post(PendingMessage message) {
    std::lock_guard lock(mutex_);
    if (!dispatcher_ || (!message.call && widgets_.find(message.hwnd) == widgets_.end()))
        return false;
    queue_.push_back(std::move(message));
    if (!wakePosted_) {
        wakePosted_ = true;
        // Posting under the lock keeps the dispatcher alive: its destructor takes this lock.
        QCoreApplication::postEvent(dispatcher_, new QEvent(QEvent::User));
    }
    return true;
}

std::deque<PendingMessage> WindowTable::TakeQueue() {
    std::lock_guard lock(mutex_);
    wakePosted_ = false;
    return std::exchange(queue_, {});
}

void WindowTable::SetDispatcher(Dispatcher* dispatcher) {
    std::lock_guard lock(mutex_);
    dispatcher_ = dispatcher;
}

void WindowTable::DispatcherGone(Dispatcher* dispatcher) {
    std::deque<PendingMessage> dropped;
    {
        std::lock_guard lock(mutex_);
        if (dispatcher_ != dispatcher) return;
        dispatcher_ = nullptr;
        wakePosted_ = false;
        dropped = std::exchange(queue_, {});
    }
    for (const PendingMessage& pending : dropped)
        if (pending.reply) pending.reply->Fulfil(0);
}

// Window timers, keyed by window and identifier; each QTimer is a child of its widget.
std::map<std::pair<HWND, std::uintptr_t>, QPointer<QTimer>>& Timers() {
    static auto* timers = new std::map<std::pair<HWND, std::uintptr_t>, QPointer<QTimer>>;
    return *timers;
}

}  // namespace

WindowMessageEvent::WindowMessageEvent(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    : QEvent(EventType()), hwnd(hwnd), message(message), wParam(wParam), lParam(lParam) {}

QEvent::Type WindowMessageEvent::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

namespace platform {

HWND HwndFromWidget(QWidget* widget) {
    if (!widget) return 0;
    bool isNew = false;
    bool needDispatcher = false;
    HWND hwnd = Table().Register(widget, &isNew, &needDispatcher);
    if (needDispatcher) {
        // The dispatcher lives on the windows' thread and goes with the application object.
        auto* dispatcher = new Dispatcher;
        dispatcher->moveToThread(widget->thread());
        if (QCoreApplication::instance()) dispatcher->setParent(QCoreApplication::instance());
    }
    if (isNew) QObject::connect(widget, &QObject::destroyed, [hwnd] { Table().Drop(hwnd); });
    return hwnd;
}

QWidget* WidgetFromHwnd(HWND hwnd) {
    return Table().Find(hwnd);
}

HWND RegisterMessageSink(std::shared_ptr<MessageSink> sink) {
    return sink ? Table().AddSink(std::move(sink)) : 0;
}

void DropMessageSink(HWND hwnd) {
    Table().DropSink(hwnd);
}

bool RunOnWindowThread(std::function<void()> work, bool wait) {
    QCoreApplication* app = QCoreApplication::instance();
    if (wait && app && QThread::currentThread() == app->thread()) {
        work();
        return true;
    }
    auto reply = wait ? std::make_shared<SendReply>() : nullptr;
    auto answer = reply ? reply->promise.get_future() : std::future<LRESULT>();
    if (!Table().Post({0, WM_NULL, 0, 0, reply, std::move(work)})) return false;
    if (wait) answer.get();
    return true;
}

void DispatchQueuedMessages() {
    for (const PendingMessage& pending : Table().TakeQueue()) Deliver(pending);
}

}  // namespace platform

BOOL IsWindow(HWND hwnd) {
    return Table().Known(hwnd) ? TRUE : FALSE;
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (auto sink = Table().FindSink(hwnd)) {
        sink->Post(hwnd, message, wParam, lParam);
        return TRUE;
    }
    return Table().Post({hwnd, message, wParam, lParam, nullptr, nullptr}) ? TRUE : FALSE;
}

LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (auto sink = Table().FindSink(hwnd)) return sink->Send(hwnd, message, wParam, lParam);
    QWidget* widget = Table().Find(hwnd);
    if (!widget) return 0;
    if (widget->thread() == QThread::currentThread()) {
        WindowMessageEvent event(hwnd, message, wParam, lParam);
        event.setAccepted(false);
        QCoreApplication::sendEvent(widget, &event);
        return event.result;
    }
    auto reply = std::make_shared<SendReply>();
    auto answer = reply->promise.get_future();
    if (!Table().Post({hwnd, message, wParam, lParam, std::move(reply), nullptr})) return 0;
    return answer.get();
}

std::uintptr_t SetTimer(HWND hwnd, std::uintptr_t id, UINT milliseconds, TIMERPROC proc) {
    QWidget* widget = Table().Find(hwnd);
    if (!widget) return 0;
    auto& slot = Timers()[{hwnd, id}];
    delete slot.data();
    auto* timer = new QTimer(widget);
    slot = timer;
    QObject::connect(timer, &QTimer::timeout, widget, [hwnd, id, proc] {
        if (proc) {
            proc(hwnd, WM_TIMER, id, GetTickCount());
            return;
        }
        if (QWidget* target = Table().Find(hwnd)) {
            WindowMessageEvent event(hwnd, WM_TIMER, id, 0);
            event.setAccepted(false);
            QCoreApplication::sendEvent(target, &event);
        }
    });
    timer->start(static_cast<int>(milliseconds));
    return id;
}

BOOL KillTimer(HWND hwnd, std::uintptr_t id) {
    auto it = Timers().find({hwnd, id});
    if (it == Timers().end()) return FALSE;
    bool alive = !it->second.isNull();
    delete it->second.data();
    Timers().erase(it);
    return alive ? TRUE : FALSE;
}
