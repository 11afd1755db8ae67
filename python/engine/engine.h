// The module's boundary to the engine library: its public headers, nothing else.

#ifndef MORVEL_PYTHON_ENGINE_ENGINE_H_
#define MORVEL_PYTHON_ENGINE_ENGINE_H_

#include "morvel/async_dbm.h"
#include "morvel/dbm.h"
#include "morvel/dbm_util.h"
#include "morvel/file.h"
#include "morvel/file_impl.h"
#include "morvel/hash_util.h"
#include "morvel/key_comparators.h"
#include "morvel/lib_common.h"
#include "morvel/poly_dbm.h"
#include "morvel/poly_file.h"
#include "morvel/shard_dbm.h"
#include "morvel/status.h"
#include "morvel/str_util.h"

#endif  // MORVEL_PYTHON_ENGINE_ENGINE_H_
