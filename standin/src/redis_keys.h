// redis_keys.h - where a region lives on Redis, and the server-side code.
//
// Keys of one region share the hash tag {E}, E being the region's name with
// '%', '{' and '}' written as %25, %7B and %7D, so that no name can close the
// tag early and every (prefix, name) pair has keys of its own (P is the key
// prefix, which may not hold braces):
//   P{E}:m            hash: size, bs, minc, maxc, ctime, mtime, atime,
//                     gen, pid, ip
//   P{E}:o            sorted set of openers: member an opener id, score
//                     the end of its lease (milliseconds since the epoch)
//   P{E}:g<gen>:b     bitmap: bit 0 set from creation to deletion, bit
//                     8 + b for block b once written (bits only get set)
//   P{E}:g<gen>:c<n>  chunk n (kChunkBytes each); a chunk never written
//                     does not exist, and SETRANGE only grows one
// used (the end of the highest byte written) follows from the last bitmap
// byte and the length of the highest chunk under that block, so it only
// grows, with nothing to update on the data path.
// The generation is chosen when the region is created, so a writer that
// lost a race with a delete writes only keys nobody reads (and removes them).
//
// The server-side code is a library of functions: the server keeps it
// through restarts (with persistence) and copies it to its replicas, so a
// promoted replica has it; a server that lacks it anyway (flushed) gets it
// again from the client that finds it missing. Every key a function
// touches is one of its declared keys, so that a cluster accepts the call.
#ifndef MIRRORBANK_STANDIN_REDIS_KEYS_H
#define MIRRORBANK_STANDIN_REDIS_KEYS_H

#include <cstdint>
#include <string>

namespace mbstandin {

constexpr uint64_t kChunkBytes = 1u << 20;
constexpr uint64_t kBlockBit0 = 8;  // bitmap bit of block 0; bit 0 marks the region live
constexpr uint64_t kMaxBlocks = (1ull << 32) - kBlockBit0;

class KeyLayout {
public:
    explicit KeyLayout(std::string prefix) : prefix_(std::move(prefix)) {}

    std::string meta(const std::string& name) const { return tagged(name) + ":m"; }
    std::string openers(const std::string& name) const { return tagged(name) + ":o"; }
    std::string bits(const std::string& name, const std::string& gen) const { return tagged(name) + ":g" + gen + ":b"; }
    std::string chunkBase(const std::string& name, const std::string& gen) const {
        return tagged(name) + ":g" + gen + ":c";
    }

    // SCAN pattern of every metadata key under the prefix, and the region
    // name of one such key (false for keys of another prefix or shape).
    std::string metaPattern() const;
    bool nameOfMeta(const std::string& key, std::string* name) const;

    static std::string escape(const std::string& name);
    // The cluster hash slot of every key of the region: CRC16 of its hash
    // tag, modulo 16384.
    static uint16_t slot(const std::string& name);

private:
    std::string tagged(const std::string& name) const { return prefix_ + "{" + escape(name) + "}"; }
    std::string prefix_;
};

// Functions of the server-side library, and the library's source.
namespace fn {
extern const char* const kOpen;    // KEYS meta, openers, new bitmap; see redis_keys.cpp
extern const char* const kMark;    // KEYS meta
extern const char* const kDelete;  // KEYS meta, openers, bitmap
extern const char* const kLibrary;
}  // namespace fn

// used (the end of the highest byte ever written) from the bitmap: the last
// byte of the bitmap holds the highest written block, whose start is *lo
// (0 with no block written); the chunks [*c0, *c1] lie under that block.
// The highest of them that exists ends where the highest write ended
// (SETRANGE only grows a string); when none does, used is *lo.
// Answers false when no block was written (used is 0).
bool highestBlock(uint64_t bitmapLen, unsigned char lastByte, uint64_t bs, uint64_t size, uint64_t* lo,
                  uint64_t* c0, uint64_t* c1);

}  // namespace mbstandin

#endif
