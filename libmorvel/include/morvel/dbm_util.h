// Whole-database helpers: export and import of flat records, key lines, and the
// search modes. Each is as thread-safe as the database and file it is given.
//
// Search modes, over keys (SearchDBMModal) or lines (SearchTextFileModal):
//   "contain", "containcase" (ASCII case-insensitive), "containword", "begin",
//   "end", "regex" (RE2 syntax, linear time), "edit" and "editbin" (nearest by
//   Levenshtein distance over code points or bytes, best first), and for
//   ordered databases "upper", "upperinc", "lower", "lowerinc" (keys after or
//   before the pattern, in order). An unknown mode, a bad regex or an ordered
//   mode on an unordered database is INVALID_ARGUMENT_ERROR naming it.
//   |capacity| 0 means no limit.
//
//   "containword" matches the pattern bounded on each side by the text's end
//   or a byte that is not an ASCII letter or digit and not part of a
//   multi-byte UTF-8 character. The edit modes give the nearest first; equal
//   distances keep the order of an ordered database or of the file's lines,
//   and the byte order of the keys for an unordered database. "upper" and
//   "upperinc" give keys in ascending order, "lower" and "lowerinc" in
//   descending order (the nearest first). |matched| is cleared first, and
//   left empty on failure.

#ifndef MORVEL_DBM_UTIL_H_
#define MORVEL_DBM_UTIL_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "morvel/dbm.h"
#include "morvel/file.h"

namespace morvel {

// Appends every record of |dbm| to |dest| as flat records.
Status ExportDBMToFlatRecords(DBM* dbm, File* dest);

// Reads flat records of |src| from offset 0 and sets each into |dbm|. A damaged
// frame stops the import with BROKEN_DATA_ERROR, keeping what came before it.
Status ImportDBMFromFlatRecords(DBM* dbm, File* src);

// Appends each key of |dbm| and "\n" to |dest|.
Status ExportDBMKeysAsLines(DBM* dbm, File* dest);

// Fills |matched| with the keys of |dbm| that match |pattern| by |mode|.
Status SearchDBMModal(DBM* dbm, std::string_view mode, std::string_view pattern,
                      std::vector<std::string>* matched, size_t capacity = 0);

// Fills |matched| with the lines of |file| (without "\n") that match |pattern|
// by |mode| (the ordered modes do not apply).
Status SearchTextFileModal(File* file, std::string_view mode, std::string_view pattern,
                           std::vector<std::string>* matched, size_t capacity = 0);

}  // namespace morvel

#endif  // MORVEL_DBM_UTIL_H_
