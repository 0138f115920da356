// redis_keys.cpp - key names and the server-side library (see redis_keys.h).
#include "redis_keys.h"

#include <algorithm>

namespace mbstandin {

std::string KeyLayout::escape(const std::string& name) {
    std::string o;
    o.reserve(name.size());
    for (char c : name) {
        if (c == '%') o += "%25";
        else if (c == '{') o += "%7B";
        else if (c == '}') o += "%7D";
        else o += c;
    }
    return o;
}

uint16_t KeyLayout::slot(const std::string& name) {
    static const auto table = [] {
        struct T {
            uint16_t v[256];
        } t{};
        for (int i = 0; i < 256; ++i) {
            uint16_t c = static_cast<uint16_t>(i << 8);
            for (int b = 0; b < 8; ++b) c = static_cast<uint16_t>(c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1);
            t.v[i] = c;
        }
        return t;
    }();
    uint16_t crc = 0;
    for (char ch : escape(name))
        crc = static_cast<uint16_t>((crc << 8) ^ table.v[((crc >> 8) ^ static_cast<unsigned char>(ch)) & 0xff]);
    return crc & 16383;
}

bool highestBlock(uint64_t bitmapLen, unsigned char lastByte, uint64_t bs, uint64_t size, uint64_t* lo, uint64_t* c0,
                  uint64_t* c1) {
    *lo = *c0 = *c1 = 0;
    if (bitmapLen <= 1 || bs == 0 || lastByte == 0) return false;
    int j = 7;  // the lowest-order set bit is the highest bit number in the byte
    for (unsigned v = lastByte; v % 2 == 0; v /= 2) --j;
    const uint64_t bit = (bitmapLen - 1) * 8 + static_cast<uint64_t>(j);
    if (bit < kBlockBit0) return false;
    *lo = (bit - kBlockBit0) * bs;
    const uint64_t end = std::min(*lo + bs, std::max<uint64_t>(size, *lo + 1));
    *c0 = *lo / kChunkBytes;
    *c1 = (end - 1) / kChunkBytes;
    return true;
}

std::string KeyLayout::metaPattern() const {
    std::string o;
    for (char c : prefix_) {  // glob characters of the prefix taken literally
        if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') o += '\\';
        o += c;
    }
    return o + "{*}:m";
}

bool KeyLayout::nameOfMeta(const std::string& key, std::string* name) const {
    const size_t head = prefix_.size() + 1, tail = 3;  // "P{" ... "}:m"
    if (key.size() < head + tail || key.compare(0, prefix_.size(), prefix_) != 0 || key[prefix_.size()] != '{' ||
        key.compare(key.size() - tail, tail, "}:m") != 0)
        return false;
    std::string e = key.substr(head, key.size() - head - tail), n;
    for (size_t i = 0; i < e.size(); ++i) {
        char c = e[i];
        if (c == '{' || c == '}') return false;  // another prefix's key, or not ours
        if (c != '%') {
            n += c;
            continue;
        }
        std::string code = e.substr(i + 1, 2);
        if (code == "25") n += '%';
        else if (code == "7B") n += '{';
        else if (code == "7D") n += '}';
        else return false;
        i += 2;
    }
    *name = n;
    return true;
}

namespace fn {

const char* const kOpen = "mbstore_2_open";
const char* const kMark = "mbstore_2_mark";
const char* const kDelete = "mbstore_2_delete";

// The library's name carries its version, so clients of different versions
// keep their own functions side by side.
const char* const kLibrary = R"(#!lua name=mbstore_2

-- Create, exclusive create or open, atomically; takes a lease.
-- KEYS meta, openers, the bitmap of the generation a create would give.
-- ARGV create, exclusive, size, bs, minc, maxc, now_s, opener, lease end
-- (ms), pid, ip, now (ms), gen. Answers {gen, size, bs, minc}, {-1}
-- exists, {-2} missing.
redis.register_function('mbstore_2_open', function(keys, args)
  if redis.call('EXISTS', keys[1]) == 1 then
    if args[2] == '1' then return {-1} end
  else
    if args[1] ~= '1' then return {-2} end
    redis.call('HSET', keys[1], 'size', args[3], 'bs', args[4], 'minc', args[5], 'maxc', args[6],
               'ctime', args[7], 'mtime', args[7], 'gen', args[13])
    redis.call('SETBIT', keys[3], 0, 1)
  end
  redis.call('HSET', keys[1], 'atime', args[7], 'pid', args[10], 'ip', args[11])
  redis.call('ZREMRANGEBYSCORE', keys[2], '-inf', '(' .. args[12])
  redis.call('ZADD', keys[2], args[9], args[8])
  return redis.call('HMGET', keys[1], 'gen', 'size', 'bs', 'minc')
end)

-- Time stamps (at most once a second per handle): when the region is still
-- generation ARGV[1], mtime / atime set when non-zero. Answers 1, or -1.
redis.register_function('mbstore_2_mark', function(keys, args)
  if redis.call('HGET', keys[1], 'gen') ~= args[1] then return -1 end
  if args[2] ~= '0' then redis.call('HSET', keys[1], 'mtime', args[2]) end
  if args[3] ~= '0' then redis.call('HSET', keys[1], 'atime', args[3]) end
  return 1
end)

-- Delete: refused while a lease is live unless forced. The metadata, the
-- leases and the bitmap (whose bit 0 every write checks) go at once; the
-- chunks after, by the client, from what the answer tells of the bitmap.
-- KEYS meta, openers, bitmap of generation ARGV[3]. ARGV now (ms), force,
-- gen. Answers {1, bitmap length, last bitmap byte, bs, size}, {-1}
-- missing, {-2} open, {-3} the region is another generation now.
redis.register_function('mbstore_2_delete', function(keys, args)
  if redis.call('EXISTS', keys[1]) == 0 then return {-1} end
  if redis.call('HGET', keys[1], 'gen') ~= args[3] then return {-3} end
  if args[2] ~= '1' and redis.call('ZCOUNT', keys[2], args[1], '+inf') > 0 then return {-2} end
  local m = redis.call('HMGET', keys[1], 'bs', 'size')
  local n = redis.call('STRLEN', keys[3])
  local last = n > 0 and string.byte(redis.call('GETRANGE', keys[3], -1, -1)) or 0
  redis.call('DEL', keys[1], keys[2], keys[3])
  return {1, n, last, tonumber(m[1]) or 0, tonumber(m[2]) or 0}
end)
)";

}  // namespace fn

}  // namespace mbstandin
