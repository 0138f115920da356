// testctl.cpp - the mbt_ test controls. They only touch the surface's own
// state (journal, forced outcomes, scripts, given records) and reach the
// cluster through the backend interface like every other caller.
#pragma GCC visibility push(default)
#include "mirrorbank_api.h"
#include "mirrorbank_testctl.h"
#pragma GCC visibility pop

#include <algorithm>
#include <cstring>

#include "surface.h"

using namespace mbstandin;

namespace {

// Holds the lock exclusively; on release, republishes whether any control
// is active for the data path's short form.
class Hold {
public:
    Hold() { lockState().lock(); }
    ~Hold() {
        refreshControls(state().ctl);
        lockState().unlock();
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
};

template <typename Record>
void setListed(const Record* infos, int count, bool* set, std::vector<Record>* records) {
    *set = infos != nullptr && count >= 0;
    records->clear();
    if (*set) records->assign(infos, infos + count);
}

}  // namespace

extern "C" {

void mbt_reset(void) {
    Hold g;
    resetState();
}

void mbt_journal_enable(int on) {
    Hold g;
    state().ctl.journal_on = on != 0;
}

void mbt_journal_clear(void) {
    Hold g;
    state().ctl.journal.clear();
}

int mbt_journal_count(void) {
    Hold g;
    return static_cast<int>(state().ctl.journal.size());
}

const char* mbt_journal_line(int i) {
    Hold g;
    const auto& j = state().ctl.journal;
    if (i < 0 || static_cast<size_t>(i) >= j.size()) return nullptr;
    return j[static_cast<size_t>(i)].c_str();
}

void mbt_force(const char* op, int times, mb_status status, mb_error error) {
    if (!op) return;
    Hold g;
    Controls& c = state().ctl;
    if (times == 0)
        c.forced.erase(op);
    else
        c.forced[op] = Forced{times, status, error};
    c.any_forced = !c.forced.empty();
}

void mbt_script_io(const char* op, int times, const mbt_ioscript* script) {
    if (!op) return;
    Hold g;
    Controls& c = state().ctl;
    IoScript* target = nullptr;
    if (std::strcmp(op, "mb_read") == 0) target = &c.read_script;
    if (std::strcmp(op, "mb_write") == 0) target = &c.write_script;
    if (!target) return;
    if (!script || times == 0) {
        *target = IoScript();
        return;
    }
    target->times = times;
    target->script = *script;
}

int mbt_pending_notifications(void) {
    Hold g;
    int n = 0;
    state().conns.forEachLive([&](const Conn& c) {
        for (const auto& sn : c.scripted) n += sn.count;
    });
    return n;
}

void mbt_set_ldinfo(const mb_ldinfo* info) {
    Hold g;
    state().ctl.ldinfo_set = info != nullptr;
    if (info) state().ctl.ldinfo = *info;
}

void mbt_set_listed_daemons(const mb_daemon_info* infos, int count) {
    Hold g;
    setListed(infos, count, &state().ctl.daemons_set, &state().ctl.daemons);
}

void mbt_set_listed_stores(const mb_client_storeinfo* infos, int count) {
    Hold g;
    setListed(infos, count, &state().ctl.stores_set, &state().ctl.stores);
}

void mbt_set_inline_completion(int on) {
    Hold g;
    state().ctl.inline_completion = on != 0;
}

int mbt_daemon_is_up(int dindex) {
    Hold g;
    return state().backend && state().backend->daemonUp(dindex) ? 1 : 0;
}

void mbt_set_daemon_up(int dindex, int up) {
    Hold g;
    if (!state().backend) return;
    if (up)
        state().backend->revive(dindex);
    else
        state().backend->crash(dindex);
}

int mbt_live_connections(void) {
    Hold g;
    int n = 0;
    state().conns.forEachLive([&](const Conn&) { n++; });
    return n;
}

}  // extern "C"
