// backend.h - the seam between the client-library surface and whatever
// holds the regions.
//
// The C surface (connections, handles, asynchronous completion, failure
// events, test controls) talks to the cluster only through this interface.
// The embedded simulated cluster is one implementation; a backend on a real
// distributed engine plugs in here. Threads: read, write and fence may be
// called from several threads at once, also on the same region (the backend
// orders them per region); every other call runs alone, with no data
// operation in flight (the surface holds its lock exclusively for those).
#ifndef MIRRORBANK_STANDIN_BACKEND_H
#define MIRRORBANK_STANDIN_BACKEND_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mirrorbank_api.h"

namespace mbstandin {

struct ClusterConfig;

// One daemon as the cluster layout describes it.
struct DaemonAddress {
    uint32_t ip_net = 0;  // network byte order
    uint16_t port = 0;    // host byte order
};

// Shape of a cluster: how many daemons, how much region memory each, and
// the addresses that listings show.
struct ClusterLayout {
    int daemons = 3;
    uint64_t memory = 1ull << 30;
    std::vector<DaemonAddress> addresses;  // one per daemon

    bool operator==(const ClusterLayout& o) const;
    bool operator!=(const ClusterLayout& o) const { return !(*this == o); }
    static ClusterLayout defaults(int daemons, uint64_t memory);
};

// Names one region as opened through the backend. Never 0 when valid.
using RegionId = uint64_t;

struct OpenRequest {
    const char* name = nullptr;
    int32_t min_copies = 0;
    int32_t max_copies = 0;
    bool create = false;     // create the region when it does not exist
    bool exclusive = false;  // fail when it does exist
    uint64_t size = 0;       // already defaulted by the caller
    uint32_t blocksize = 0;  // already defaulted by the caller
    int preferred_primary = 0;  // the opener's local daemon
    uint32_t opener_pid = 0;
    uint32_t opener_ip = 0;  // network byte order
};

// A data operation handed to a backend that runs the operations of many
// threads in shared round trips (Backend::batches). The submitter owns the
// record and its buffer until `done`; the backend sets `error`, then `done`.
struct PendingIo {
    RegionId id = 0;
    uint64_t offset = 0;
    uint64_t length = 0;
    void* buffer = nullptr;
    bool read = false;
    mb_error error = MB_ERR_NONE;
    const char* detail = nullptr;  // the failure's text (kept for the process's life)
    bool done = false;  // read and written under the backend's batch lock
    unsigned lane = 0;  // the backend's batch queue it waits in
};

class Backend {
public:
    virtual ~Backend() = default;

    virtual const ClusterLayout& layout() const = 0;
    virtual bool daemonUp(int dindex) const = 0;

    // Regions. Every call answers MB_ERR_NONE on success.
    virtual mb_error open(const OpenRequest& req, RegionId* out) = 0;
    virtual mb_error close(RegionId id) = 0;
    // The part of a close that speaks to the cluster, where there is one; it
    // may run beside transfers (concurrentAdmin). close does whatever of it
    // was not done.
    virtual void prepareClose(RegionId /*id*/) {}
    virtual mb_error write(RegionId id, uint64_t offset, const void* src, uint64_t length) = 0;
    // MB_ERR_EMPTYBLOCK when every block the range touches was never written.
    virtual mb_error read(RegionId id, uint64_t offset, void* dst, uint64_t length) = 0;
    virtual mb_error fence(RegionId id) = 0;
    virtual mb_error describe(RegionId id, mb_client_storeinfo* out) const = 0;
    virtual mb_error describeByName(const char* name, mb_client_storeinfo* out) const = 0;
    // Daemons holding a copy of the named region, primary first (empty when
    // the region does not exist).
    virtual std::vector<int> placement(const char* name) const = 0;
    virtual mb_error remove(const char* name, bool force) = 0;

    // Listings: dindex < 0 lists every region, else those with a copy there.
    virtual void listRegions(int dindex, std::vector<mb_client_storeinfo>* out) const = 0;
    virtual void listDaemons(std::vector<mb_daemon_info>* out) const = 0;
    virtual mb_error daemonFigures(int dindex, mb_ldinfo* out) const = 0;

    // Daemon life. shutdown honours the flags of mb_admin_shutdown_daemon;
    // crash takes a daemon down at once, losing its copies.
    virtual mb_error shutdown(int dindex, uint32_t flags) = 0;
    virtual void crash(int dindex) = 0;
    // Whether failure events may take daemons down (mb_event answers
    // MB_ERR_NOTIMPL for daemon targets otherwise).
    virtual bool daemonEventsAllowed() const { return true; }
    // Brings a crashed daemon back; servers that operators start need nothing.
    virtual void revive(int /*dindex*/) {}

    // Whether this backend is the cluster a configuration names.
    virtual bool sameCluster(const ClusterConfig& cfg) const = 0;
    // Whether its regions live outside this process (so that it may be
    // dropped for another cluster once no connection uses it).
    virtual bool regionsOutsideProcess() const = 0;

    // Batching backends: submit checks an operation and queues it (no I/O):
    // MB_ERR_NONE when queued (or, for an empty one, done at once), else the
    // refusal, and the record is not kept. complete returns once every one
    // of ops is done, running queued operations itself when no other thread
    // does. Both run with the surface's lock held shared (or exclusively);
    // close runs the region's queued operations before it returns.
    virtual bool batches() const { return false; }
    // Whether describe, describeByName, placement, remove, the listings,
    // daemon figures, daemonUp and shutdown may run beside transfers and
    // each other (with the surface's lock held shared) rather than alone.
    virtual bool concurrentAdmin() const { return false; }
    virtual mb_error submit(PendingIo* /*op*/) { return MB_ERR_NOTIMPL; }
    virtual void complete(PendingIo* const* /*ops*/, size_t /*n*/) {}
};

// The backend a configuration asks for (a Redis one connects to its primary).
mb_error makeBackend(const ClusterConfig& cfg, std::unique_ptr<Backend>* out);

}  // namespace mbstandin

#endif
