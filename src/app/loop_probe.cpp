// Measuring the GUI thread's turns by wrapping glib's poll function: the loop
// is working from each poll's return until the next poll begins.
#include "app/loop_probe.h"

#include <QAbstractEventDispatcher>
#include <glib.h>

namespace dupmon {

namespace {

// glib's poll function takes no user data: the probe of the GUI thread's
// context, and the function it wraps.
LoopProbe* active = nullptr;
GPollFunc wrapped = nullptr;

gint probedPoll(GPollFD* fds, guint count, gint timeout) {
    if (active)
        active->looking();
    const gint result = (wrapped ? wrapped : g_poll)(fds, count, timeout);
    if (active)
        active->working();
    return result;
}

} // namespace

LoopProbe::LoopProbe() : busySince_(Steady::now()) {
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher || active)
        return;
    // Qt's glib dispatcher polls the default context of the GUI thread: the
    // poll itself marks each turn. Qt's other dispatcher (QT_NO_GLIB) runs
    // timers after its poll without a signal, so its turns cannot be told
    // from its waits: nothing is measured there.
    if (!dispatcher->inherits("QEventDispatcherGlib"))
        return;
    GMainContext* context = g_main_context_default();
    wrapped = g_main_context_get_poll_func(context);
    g_main_context_set_poll_func(context, probedPoll);
    active = this;
    installed_ = true;
}

LoopProbe::~LoopProbe() {
    if (!installed_)
        return;
    g_main_context_set_poll_func(g_main_context_default(), wrapped);
    wrapped = nullptr;
    active = nullptr;
}

void LoopProbe::looking() {
    if (!busy_)
        return;
    busy_ = false;
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(Steady::now() - busySince_).count();
    gaps_.add(uint64_t(us < 0 ? 0 : us));
}

void LoopProbe::working() {
    if (busy_)
        return;
    busy_ = true;
    busySince_ = Steady::now();
}

} // namespace dupmon
