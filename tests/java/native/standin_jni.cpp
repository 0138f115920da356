// standin_jni.cpp - the stand-in client library's test controls (mbt_*) as
// the static natives of tessera.store.io.file.StandIn, for Java tests only.
#include <dlfcn.h>
#include <elf.h>
#include <jni.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "mirrorbank_testctl.h"

namespace {
// A Java string as UTF-8 for the duration of one call.
struct Utf {
    JNIEnv* e;
    jstring s;
    const char* c;
    Utf(JNIEnv* env, jstring str) : e(env), s(str), c(str ? env->GetStringUTFChars(str, nullptr) : nullptr) {}
    ~Utf() {
        if (c) e->ReleaseStringUTFChars(s, c);
    }
};
}  // namespace

#define FN(ret, name) extern "C" JNIEXPORT ret JNICALL Java_tessera_store_io_file_StandIn_##name

FN(void, reset)(JNIEnv*, jclass) { mbt_reset(); }

FN(void, journal)(JNIEnv*, jclass, jboolean on) {
    mbt_journal_clear();
    mbt_journal_enable(on);
}

// The journal so far, oldest line first; empties it.
FN(jobjectArray, takeJournal)(JNIEnv* e, jclass) {
    int n = mbt_journal_count();
    jobjectArray out = e->NewObjectArray(n, e->FindClass("java/lang/String"), nullptr);
    for (int i = 0; out && i < n; ++i) {
        jstring s = e->NewStringUTF(mbt_journal_line(i));
        if (!s) return nullptr;
        e->SetObjectArrayElement(out, i, s);
        e->DeleteLocalRef(s);
    }
    mbt_journal_clear();
    return out;
}

FN(void, force)(JNIEnv* e, jclass, jstring op, jint times, jint status, jint error) {
    Utf o(e, op);
    if (o.c) mbt_force(o.c, times, static_cast<mb_status>(status), static_cast<mb_error>(error));
}

// s: submit status, submit error, op status, op error, notifications,
// waits before they come, notify status, notify error, perform (0/1).
FN(void, scriptIo)(JNIEnv* e, jclass, jstring op, jint times, jintArray s) {
    Utf o(e, op);
    jint v[9] = {0};
    e->GetIntArrayRegion(s, 0, 9, v);
    if (!o.c || e->ExceptionCheck()) return;
    mbt_ioscript sc;
    std::memset(&sc, 0, sizeof sc);
    sc.submit_status = static_cast<mb_status>(v[0]);
    sc.submit_error = static_cast<mb_error>(v[1]);
    sc.op_status = static_cast<mb_status>(v[2]);
    sc.op_error = static_cast<mb_error>(v[3]);
    sc.notify_count = v[4];
    sc.notify_after_waits = v[5];
    sc.notify_status = static_cast<mb_status>(v[6]);
    sc.notify_error = static_cast<mb_error>(v[7]);
    sc.perform = v[8];
    mbt_script_io(o.c, times, &sc);
}

FN(jint, pendingNotifications)(JNIEnv*, jclass) { return mbt_pending_notifications(); }
FN(void, inlineCompletion)(JNIEnv*, jclass, jboolean on) { mbt_set_inline_completion(on); }
FN(jboolean, daemonUp)(JNIEnv*, jclass, jint d) { return mbt_daemon_is_up(d) == 1; }
FN(void, setDaemonUp)(JNIEnv*, jclass, jint d, jboolean up) { mbt_set_daemon_up(d, up); }
FN(jint, liveConnections)(JNIEnv*, jclass) { return mbt_live_connections(); }

// The local daemon's figures (unsigned); total < 0 and used < 0 together
// go back to the real ones.
FN(void, localDaemon)(JNIEnv*, jclass, jlong total, jlong used, jboolean real) {
    mb_ldinfo d = {0, 0, static_cast<ub8>(total), static_cast<ub8>(used)};
    mbt_set_ldinfo(real ? nullptr : &d);
}

// Listings report regions of these names (null: the cluster's own); the
// first one carries awkward figures (sizes above 4 GiB, address 10.1.2.3).
FN(void, listedRegions)(JNIEnv* e, jclass, jobjectArray names) {
    std::vector<mb_client_storeinfo> recs;
    for (jsize i = 0; names && i < e->GetArrayLength(names); ++i) {
        mb_client_storeinfo r;
        std::memset(&r, 0, sizeof r);
        jstring n = static_cast<jstring>(e->GetObjectArrayElement(names, i));
        Utf u(e, n);
        if (u.c) std::strncpy(r.name, u.c, sizeof r.name - 1);
        r.size = i == 0 ? (5ull << 30) : (1u << 20);
        r.used = i == 0 ? (4ull << 30) + 7 : 4096;
        r.blocksize = 4096;
        r.ip = i == 0 ? 0x0302010a : 0;
        r.open = i == 0 ? 7 : 0;
        r.nodes = i == 0 ? 0x8000000000000005ull : 1;
        recs.push_back(r);
    }
    mbt_set_listed_stores(recs.data(), names ? static_cast<int>(recs.size()) : -1);
}

// Listings report three daemons: 0 up with address 0, 1 down at
// 192.168.1.20:7000, 2 in an unknown state (null: the cluster's own).
FN(void, listedDaemons)(JNIEnv*, jclass, jboolean given) {
    mb_daemon_info d[3];
    std::memset(d, 0, sizeof d);
    for (int i = 0; i < 3; ++i) d[i].dindex = i;
    d[0].status = MB_DAEMON_UP;
    d[0].port = 0x409c;  // 40000 in network order
    d[0].used_memory = (5ull << 30) + 1;
    d[1].status = MB_DAEMON_DOWN;
    d[1].ip = 0x1401a8c0;
    d[1].port = 0x581b;
    d[2].status = static_cast<mb_daemon_status>(3);
    mbt_set_listed_daemons(d, given ? 3 : -1);
}

// A data object of the loaded bridge that it does not export, found in the
// library file's own symbol table as a debugger finds it; null when the file
// carries no such symbol (stripped) or the bridge is not loaded.
static void* bridgeObject(const char* name) {
    void* bridge = dlopen("libtessera_replicatedio.so", RTLD_NOW | RTLD_NOLOAD);
    if (!bridge) return nullptr;
    Dl_info where;
    void* entry = dlsym(bridge, "JNI_OnLoad");
    void* found = nullptr;
    if (entry && dladdr(entry, &where) && where.dli_fname) {
        std::ifstream file(where.dli_fname, std::ios::binary);
        std::vector<char> elf((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        auto* header = reinterpret_cast<const Elf64_Ehdr*>(elf.data());
        bool sane = elf.size() >= sizeof(Elf64_Ehdr) && std::memcmp(header->e_ident, ELFMAG, SELFMAG) == 0 &&
                    header->e_shoff + header->e_shnum * sizeof(Elf64_Shdr) <= elf.size();
        auto* sections = sane ? reinterpret_cast<const Elf64_Shdr*>(elf.data() + header->e_shoff) : nullptr;
        for (int i = 0; sane && i < header->e_shnum && !found; ++i) {
            const Elf64_Shdr& table = sections[i];
            if (table.sh_type != SHT_SYMTAB || table.sh_link >= header->e_shnum) continue;
            auto* symbols = reinterpret_cast<const Elf64_Sym*>(elf.data() + table.sh_offset);
            const char* names = elf.data() + sections[table.sh_link].sh_offset;
            for (size_t k = 0; k < table.sh_size / sizeof(Elf64_Sym); ++k) {
                if (ELF64_ST_TYPE(symbols[k].st_info) == STT_OBJECT && std::strcmp(names + symbols[k].st_name, name) == 0) {
                    found = static_cast<char*>(where.dli_fbase) + symbols[k].st_value;
                    break;
                }
            }
        }
    }
    dlclose(bridge);
    return found;
}

// The admin surface's console switch (dumps of listed records on standard
// output), which nothing in the bridge sets; false when it is not found.
FN(jboolean, adminConsole)(JNIEnv*, jclass, jboolean on) {
    int* sw = static_cast<int*>(bridgeObject("debug"));
    if (sw) *sw = on;
    return sw != nullptr;
}
