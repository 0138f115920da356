// config.h - the cluster configuration file read by mb_init.
#ifndef MIRRORBANK_STANDIN_CONFIG_H
#define MIRRORBANK_STANDIN_CONFIG_H

#include "backend.h"

namespace mbstandin {

struct ClusterConfig {
    ClusterLayout layout;
    int completion = -1;  // -1 not given, 0 asynchronous, 1 inline
};

// MB_ERR_NONE, MB_ERR_NOCFG (no such file) or MB_ERR_CFGREAD (cannot be
// read, or malformed).
mb_error readClusterConfig(const char* path, ClusterConfig* out);

}  // namespace mbstandin

#endif
