// sim_cluster.h - the embedded simulated cluster: daemons, regions and
// their copies, all inside this process.
#ifndef MIRRORBANK_STANDIN_SIM_CLUSTER_H
#define MIRRORBANK_STANDIN_SIM_CLUSTER_H

#include <memory>
#include <mutex>
#include <unordered_map>

#include "backend.h"

namespace mbstandin {

// Bytes of one copy of a region, allocated block by block on first write.
// Lookup is two-level and O(1); blocks are 64-byte aligned.
class BlockStore {
public:
    BlockStore(uint64_t nblocks, uint32_t blocksize);
    ~BlockStore();
    BlockStore(const BlockStore&) = delete;
    BlockStore& operator=(const BlockStore&) = delete;

    uint8_t* get(uint64_t block) const {
        const auto& leaf = dir_[block >> kLeafBits];
        return leaf ? leaf[block & kLeafMask] : nullptr;
    }
    // Null when memory runs out.
    uint8_t* getOrMake(uint64_t block);

private:
    static constexpr unsigned kLeafBits = 12;
    static constexpr uint64_t kLeafMask = (1u << kLeafBits) - 1;
    std::vector<std::unique_ptr<uint8_t*[]>> dir_;
    uint32_t blocksize_;
};

class SimCluster final : public Backend {
public:
    explicit SimCluster(const ClusterLayout& layout);
    ~SimCluster() override;

    const ClusterLayout& layout() const override { return layout_; }
    bool daemonUp(int dindex) const override;

    mb_error open(const OpenRequest& req, RegionId* out) override;
    mb_error close(RegionId id) override;
    mb_error write(RegionId id, uint64_t offset, const void* src, uint64_t length) override;
    mb_error read(RegionId id, uint64_t offset, void* dst, uint64_t length) override;
    mb_error fence(RegionId id) override;
    mb_error describe(RegionId id, mb_client_storeinfo* out) const override;
    mb_error describeByName(const char* name, mb_client_storeinfo* out) const override;
    std::vector<int> placement(const char* name) const override;
    mb_error remove(const char* name, bool force) override;

    void listRegions(int dindex, std::vector<mb_client_storeinfo>* out) const override;
    void listDaemons(std::vector<mb_daemon_info>* out) const override;
    mb_error daemonFigures(int dindex, mb_ldinfo* out) const override;

    mb_error shutdown(int dindex, uint32_t flags) override;
    void crash(int dindex) override;
    void revive(int dindex) override;
    bool sameCluster(const ClusterConfig& cfg) const override;
    bool regionsOutsideProcess() const override { return false; }

private:
    enum class RegionState { Live, Lost, Deleted };
    struct Copy {
        int daemon;
        std::unique_ptr<BlockStore> store;
    };
    struct Region {
        RegionId id = 0;
        std::string name;
        uint64_t size = 0;
        uint32_t blocksize = 0;
        uint32_t blockshift = 0;  // log2 of blocksize when a power of two, else 0
        uint64_t nblocks = 0;
        int32_t min_copies = 0;
        std::vector<Copy> copies;  // primary first
        uint64_t used = 0;
        uint64_t ctime = 0, mtime = 0, atime = 0;
        int opens = 0;
        uint32_t pid = 0, ip = 0;
        RegionState state = RegionState::Live;
        // Orders data operations on this region (they may run on several
        // threads at once): block allocation, bytes, used, mtime, atime.
        std::mutex data;
    };
    struct Daemon {
        bool up = true;
        uint64_t start_time = 0;
        uint64_t used_memory = 0;
    };

    static uint64_t blockOf(const Region& r, uint64_t pos) {
        return r.blockshift ? pos >> r.blockshift : pos / r.blocksize;
    }
    // Calls f(block, offset in the block, byte count) for each block's part
    // of [pos, pos + left), in order, while f answers true.
    template <typename F>
    static bool eachPiece(const Region& r, uint64_t pos, uint64_t left, F f);
    Region* find(RegionId id) const;
    // The usable region `id` when [offset, offset + length) lies inside it.
    mb_error range(RegionId id, uint64_t offset, uint64_t length, Region** out) const;
    Region* findLive(const std::string& name) const;
    mb_error usable(const Region* r) const;
    void fill(const Region& r, mb_client_storeinfo* out) const;
    void dropCopies(Region* r);
    void forget(Region* r);  // erase once nothing refers to it

    ClusterLayout layout_;
    std::vector<Daemon> daemons_;
    // A region id carries its slot in regions_ (low 32 bits, plus one) and
    // the slot's generation (high 32 bits): a lookup is an index, and a
    // slot freed by a forgotten region is reused under a new generation, so
    // ids of earlier regions never find the new one.
    struct Slot {
        std::unique_ptr<Region> region;
        uint32_t gen = 0;
    };
    std::vector<Slot> regions_;
    std::vector<uint32_t> freeSlots_;
    std::unordered_map<std::string, RegionId> byName_;  // live regions only
};

}  // namespace mbstandin

#endif
