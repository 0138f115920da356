// sim_cluster.cpp - the embedded simulated cluster.
#include "sim_cluster.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "config.h"

namespace mbstandin {

namespace {

uint64_t nowSeconds() { return static_cast<uint64_t>(::time(nullptr)); }

constexpr uint32_t kFlagForce = MB_SHUTDOWN_FORCE;
constexpr uint32_t kFlagSafe = MB_SHUTDOWN_SAFE;
constexpr int32_t kDefaultMaxCopies = 2;

}  // namespace

// ---- layout ----------------------------------------------------------------

bool ClusterLayout::operator==(const ClusterLayout& o) const {
    if (daemons != o.daemons || memory != o.memory || addresses.size() != o.addresses.size()) return false;
    for (size_t i = 0; i < addresses.size(); ++i) {
        if (addresses[i].ip_net != o.addresses[i].ip_net || addresses[i].port != o.addresses[i].port) return false;
    }
    return true;
}

ClusterLayout ClusterLayout::defaults(int daemons, uint64_t memory) {
    ClusterLayout l;
    l.daemons = daemons;
    l.memory = memory;
    for (int i = 0; i < daemons; ++i) {
        DaemonAddress a;
        a.ip_net = htonl(0x7f000001u);
        a.port = static_cast<uint16_t>(7001 + i);
        l.addresses.push_back(a);
    }
    return l;
}

// ---- block store -------------------------------------------------------------

BlockStore::BlockStore(uint64_t nblocks, uint32_t blocksize)
    : dir_((nblocks + kLeafMask) >> kLeafBits), blocksize_(blocksize) {}

BlockStore::~BlockStore() {
    for (auto& leaf : dir_) {
        if (!leaf) continue;
        for (uint64_t i = 0; i <= kLeafMask; ++i) std::free(leaf[i]);
    }
}

uint8_t* BlockStore::getOrMake(uint64_t block) {
    auto& leaf = dir_[block >> kLeafBits];
    if (!leaf) {
        leaf.reset(new (std::nothrow) uint8_t*[kLeafMask + 1]());
        if (!leaf) return nullptr;
    }
    uint8_t*& slot = leaf[block & kLeafMask];
    if (!slot) {
        size_t bytes = (static_cast<size_t>(blocksize_) + 63) & ~static_cast<size_t>(63);
        slot = static_cast<uint8_t*>(std::aligned_alloc(64, bytes));
        if (!slot) return nullptr;
        std::memset(slot, 0, bytes);
    }
    return slot;
}

// ---- cluster -------------------------------------------------------------------

SimCluster::SimCluster(const ClusterLayout& layout) : layout_(layout), daemons_(layout.daemons) {
    uint64_t now = nowSeconds();
    for (auto& d : daemons_) d.start_time = now;
}

SimCluster::~SimCluster() = default;

bool SimCluster::daemonUp(int dindex) const {
    return dindex >= 0 && dindex < layout_.daemons && daemons_[dindex].up;
}

SimCluster::Region* SimCluster::find(RegionId id) const {
    uint64_t slot = (id & 0xffffffffu) - 1;
    Region* r = slot < regions_.size() ? regions_[slot].region.get() : nullptr;
    return r && r->id == id ? r : nullptr;
}

mb_error SimCluster::range(RegionId id, uint64_t offset, uint64_t length, Region** out) const {
    Region* r = find(id);
    mb_error e = usable(r);
    if (e != MB_ERR_NONE) return e;
    if (offset > r->size || length > r->size - offset) return MB_ERR_INVSIZ;
    *out = r;
    return MB_ERR_NONE;
}

SimCluster::Region* SimCluster::findLive(const std::string& name) const {
    auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : find(it->second);
}

mb_error SimCluster::usable(const Region* r) const {
    if (!r) return MB_ERR_INVAL;
    if (r->state == RegionState::Deleted) return MB_ERR_STOREDELETED;
    if (r->state == RegionState::Lost) return MB_ERR_DDEAD;
    return MB_ERR_NONE;
}

mb_error SimCluster::open(const OpenRequest& req, RegionId* out) {
    *out = 0;
    std::string name(req.name);
    if (Region* r = findLive(name)) {
        if (req.exclusive) return MB_ERR_STOREEXISTS;
        r->opens++;
        r->pid = req.opener_pid;
        r->ip = req.opener_ip;
        r->atime = nowSeconds();
        *out = r->id;
        return MB_ERR_NONE;
    }
    if (!req.create) return MB_ERR_STORENF;

    int32_t minc = req.min_copies <= 0 ? 1 : req.min_copies;
    int32_t maxc = req.max_copies <= 0 ? std::max(minc, kDefaultMaxCopies) : req.max_copies;
    if (maxc < minc) return MB_ERR_INVAL;

    int live = 0;
    for (const auto& d : daemons_) live += d.up ? 1 : 0;
    if (live < minc) return MB_ERR_OPENMIN;

    // Primary on the opener's local daemon when it can take it, then the
    // following daemons in index order.
    std::vector<int> chosen;
    int n = layout_.daemons;
    int start = (req.preferred_primary >= 0 && req.preferred_primary < n) ? req.preferred_primary : 0;
    for (int k = 0; k < n && static_cast<int32_t>(chosen.size()) < maxc; ++k) {
        int d = (start + k) % n;
        if (!daemons_[d].up) continue;
        if (layout_.memory - daemons_[d].used_memory < req.size) continue;
        chosen.push_back(d);
    }
    if (static_cast<int32_t>(chosen.size()) < minc) return MB_ERR_NOMEM;

    auto r = std::make_unique<Region>();
    r->name = name;
    r->size = req.size;
    r->blocksize = req.blocksize;
    if ((req.blocksize & (req.blocksize - 1)) == 0) r->blockshift = static_cast<uint32_t>(__builtin_ctz(req.blocksize));
    r->nblocks = (req.size + req.blocksize - 1) / req.blocksize;
    r->min_copies = minc;
    for (int d : chosen) {
        Copy c;
        c.daemon = d;
        c.store.reset(new (std::nothrow) BlockStore(r->nblocks, r->blocksize));
        if (!c.store) {
            for (auto& done : r->copies) daemons_[done.daemon].used_memory -= r->size;
            return MB_ERR_NOMEM;
        }
        daemons_[d].used_memory += r->size;
        r->copies.push_back(std::move(c));
    }
    uint64_t now = nowSeconds();
    r->ctime = r->mtime = r->atime = now;
    r->opens = 1;
    r->pid = req.opener_pid;
    r->ip = req.opener_ip;
    uint32_t slot;
    if (freeSlots_.empty()) {
        slot = static_cast<uint32_t>(regions_.size());
        regions_.emplace_back();
    } else {
        slot = freeSlots_.back();
        freeSlots_.pop_back();
    }
    r->id = (static_cast<uint64_t>(++regions_[slot].gen) << 32) | (slot + 1u);
    *out = r->id;
    byName_[name] = r->id;
    regions_[slot].region = std::move(r);
    return MB_ERR_NONE;
}

mb_error SimCluster::close(RegionId id) {
    Region* r = find(id);
    if (!r) return MB_ERR_INVAL;
    mb_error e = usable(r);
    if (r->opens > 0) r->opens--;
    forget(r);
    return e == MB_ERR_STOREDELETED ? MB_ERR_NONE : e;
}

void SimCluster::forget(Region* r) {
    if (r->state == RegionState::Live || r->opens != 0) return;
    uint32_t slot = static_cast<uint32_t>((r->id & 0xffffffffu) - 1);
    regions_[slot].region.reset();
    freeSlots_.push_back(slot);
}

template <typename F>
bool SimCluster::eachPiece(const Region& r, uint64_t pos, uint64_t left, F f) {
    const uint32_t bs = r.blocksize;
    while (left) {
        uint64_t b = blockOf(r, pos);
        uint64_t in = pos - b * bs;
        uint64_t n = std::min<uint64_t>(bs - in, left);
        if (!f(b, in, n)) return false;
        pos += n;
        left -= n;
    }
    return true;
}

mb_error SimCluster::write(RegionId id, uint64_t offset, const void* src, uint64_t length) {
    Region* r = nullptr;
    mb_error e = range(id, offset, length, &r);
    if (e != MB_ERR_NONE || length == 0) return e;
    std::lock_guard<std::mutex> g(r->data);
    for (auto& c : r->copies) {
        const auto* s = static_cast<const uint8_t*>(src);
        bool stored = eachPiece(*r, offset, length, [&](uint64_t b, uint64_t in, uint64_t n) {
            uint8_t* p = c.store->getOrMake(b);
            if (!p) return false;
            std::memcpy(p + in, s, n);
            s += n;
            return true;
        });
        if (!stored) return MB_ERR_NOMEM;
    }
    if (offset + length > r->used) r->used = offset + length;
    r->mtime = nowSeconds();
    return MB_ERR_NONE;
}

mb_error SimCluster::read(RegionId id, uint64_t offset, void* dst, uint64_t length) {
    Region* r = nullptr;
    mb_error e = range(id, offset, length, &r);
    if (e != MB_ERR_NONE || length == 0) return e;
    std::lock_guard<std::mutex> g(r->data);
    const BlockStore& primary = *r->copies.front().store;
    uint64_t first = blockOf(*r, offset), last = blockOf(*r, offset + length - 1);
    bool any = false;
    for (uint64_t b = first; b <= last && !any; ++b) any = primary.get(b) != nullptr;
    if (!any) return MB_ERR_EMPTYBLOCK;
    auto* d = static_cast<uint8_t*>(dst);
    eachPiece(*r, offset, length, [&](uint64_t b, uint64_t in, uint64_t n) {
        const uint8_t* p = primary.get(b);
        if (p)
            std::memcpy(d, p + in, n);
        else
            std::memset(d, 0, n);
        d += n;
        return true;
    });
    r->atime = nowSeconds();
    return MB_ERR_NONE;
}

mb_error SimCluster::fence(RegionId id) {
    // Writes land on every copy before they are acknowledged, so a fence
    // only has to find the region usable.
    return usable(find(id));
}

void SimCluster::fill(const Region& r, mb_client_storeinfo* out) const {
    std::memset(out->name, 0, sizeof out->name);
    std::strncpy(out->name, r.name.c_str(), sizeof out->name - 1);
    out->size = r.size;
    out->used = r.used;
    out->blocksize = r.blocksize;
    out->ctime = r.ctime;
    out->mtime = r.mtime;
    out->atime = r.atime;
    out->primary = r.copies.empty() ? -1 : r.copies.front().daemon;
    out->open = r.opens > 0;
    out->local = r.opens > 0;
    out->pid = r.pid;
    out->ip = r.ip;
    out->minredundancy = r.min_copies;
    out->redundancy = static_cast<int32_t>(r.copies.size());
    uint64_t nodes = 0;
    for (const auto& c : r.copies) nodes |= 1ull << c.daemon;
    out->nodes = nodes;
}

mb_error SimCluster::describe(RegionId id, mb_client_storeinfo* out) const {
    Region* r = find(id);
    mb_error e = usable(r);
    if (e != MB_ERR_NONE) return e;
    fill(*r, out);
    return MB_ERR_NONE;
}

mb_error SimCluster::describeByName(const char* name, mb_client_storeinfo* out) const {
    Region* r = findLive(name);
    if (!r) return MB_ERR_STORENF;
    fill(*r, out);
    out->storehandle = 0;
    out->state = nullptr;
    return MB_ERR_NONE;
}

std::vector<int> SimCluster::placement(const char* name) const {
    std::vector<int> v;
    if (Region* r = findLive(name)) {
        for (const auto& c : r->copies) v.push_back(c.daemon);
    }
    return v;
}

void SimCluster::dropCopies(Region* r) {
    for (auto& c : r->copies) daemons_[c.daemon].used_memory -= r->size;
    r->copies.clear();
}

mb_error SimCluster::remove(const char* name, bool force) {
    Region* r = findLive(name);
    if (!r) return MB_ERR_STORENF;
    if (r->opens > 0 && !force) return MB_ERR_STOREOPEN;
    dropCopies(r);
    r->state = RegionState::Deleted;
    byName_.erase(r->name);
    forget(r);
    return MB_ERR_NONE;
}

void SimCluster::listRegions(int dindex, std::vector<mb_client_storeinfo>* out) const {
    std::vector<const Region*> live;
    for (const auto& slot : regions_) {
        const Region* r = slot.region.get();
        if (!r || r->state != RegionState::Live) continue;
        if (dindex >= 0) {
            bool has = false;
            for (const auto& c : r->copies) has = has || c.daemon == dindex;
            if (!has) continue;
        }
        live.push_back(r);
    }
    std::sort(live.begin(), live.end(), [](const Region* a, const Region* b) { return a->name < b->name; });
    for (const Region* r : live) {
        mb_client_storeinfo info;
        std::memset(&info, 0, sizeof info);
        fill(*r, &info);
        out->push_back(info);
    }
}

void SimCluster::listDaemons(std::vector<mb_daemon_info>* out) const {
    uint64_t now = nowSeconds();
    for (int i = 0; i < layout_.daemons; ++i) {
        mb_daemon_info d;
        std::memset(&d, 0, sizeof d);
        d.dindex = i;
        d.status = daemons_[i].up ? MB_DAEMON_UP : MB_DAEMON_DOWN;
        d.reachable = daemons_[i].up;
        d.ip = layout_.addresses[i].ip_net;
        d.port = htons(layout_.addresses[i].port);  // the record carries it in network byte order
        d.shmkey = static_cast<key_t>(0x4d420000 + i);
        d.start_time = daemons_[i].start_time;
        d.current_time = now;
        d.total_memory = layout_.memory;
        d.used_memory = daemons_[i].used_memory;
        for (const auto& slot : regions_) {
            const Region* r = slot.region.get();
            if (!r || r->state != RegionState::Live) continue;
            for (size_t k = 0; k < r->copies.size(); ++k) {
                if (r->copies[k].daemon != i) continue;
                d.number_stores++;
                if (r->opens > 0) d.number_opens++;
                if (r->opens > 0 && k == 0) d.number_local_opens++;
            }
        }
        d.number_resilvers = 0;
        d.number_daemons = layout_.daemons;
        out->push_back(d);
    }
}

mb_error SimCluster::daemonFigures(int dindex, mb_ldinfo* out) const {
    if (dindex < 0 || dindex >= layout_.daemons) return MB_ERR_INVAL;
    out->dindex = dindex;
    out->ctime = daemons_[dindex].start_time;
    out->total_memory = layout_.memory;
    out->used_memory = daemons_[dindex].used_memory;
    return MB_ERR_NONE;
}

mb_error SimCluster::shutdown(int dindex, uint32_t flags) {
    if (dindex < 0 || dindex >= layout_.daemons) return MB_ERR_INVAL;
    if (!daemons_[dindex].up) return MB_ERR_DDEAD;
    for (const auto& slot : regions_) {
        const Region* r = slot.region.get();
        if (!r || r->state != RegionState::Live) continue;
        bool has = false;
        for (const auto& c : r->copies) has = has || c.daemon == dindex;
        if (!has) continue;
        if ((flags & kFlagSafe) && r->copies.size() == 1) return MB_ERR_SHUT_DLAST;
        if (!(flags & kFlagForce) && r->opens > 0) return MB_ERR_STOREOPEN;
    }
    crash(dindex);
    return MB_ERR_NONE;
}

void SimCluster::crash(int dindex) {
    if (dindex < 0 || dindex >= layout_.daemons || !daemons_[dindex].up) return;
    daemons_[dindex].up = false;
    std::vector<Region*> lost;
    for (auto& slot : regions_) {
        Region* r = slot.region.get();
        if (!r || r->state != RegionState::Live) continue;
        auto it = std::find_if(r->copies.begin(), r->copies.end(),
                               [dindex](const Copy& c) { return c.daemon == dindex; });
        if (it == r->copies.end()) continue;
        daemons_[dindex].used_memory -= r->size;
        r->copies.erase(it);
        if (r->copies.empty()) lost.push_back(r);
    }
    for (Region* r : lost) {
        r->state = RegionState::Lost;
        byName_.erase(r->name);
        forget(r);
    }
    daemons_[dindex].used_memory = 0;
}

void SimCluster::revive(int dindex) {
    if (dindex < 0 || dindex >= layout_.daemons || daemons_[dindex].up) return;
    daemons_[dindex].up = true;
    daemons_[dindex].used_memory = 0;
    daemons_[dindex].start_time = nowSeconds();
}

bool SimCluster::sameCluster(const ClusterConfig& cfg) const {
    return cfg.backend == BackendKind::Embedded && layout_ == cfg.layout;
}

}  // namespace mbstandin
