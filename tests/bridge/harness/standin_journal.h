/*
 * standin_journal.h - reading the stand-in client library's call journal
 * (mbt_journal_*) from tests: one line per library call, the operation name
 * first, then its arguments ("mb_init trace_level=0 ...").
 */
#ifndef STANDIN_JOURNAL_H
#define STANDIN_JOURNAL_H

#include <string>
#include <vector>

namespace jvmh {

// The whole journal, oldest line first.
std::vector<std::string> journal();
// The lines of one operation (its name followed by a blank or the end).
std::vector<std::string> journalOf(const std::string& op);
// The lines whose operation is one of `ops`, in journal order.
std::vector<std::string> journalOfAny(const std::vector<std::string>& ops);
// Number of lines of one operation, as the stand-in counts them.
int journalCount(const std::string& op);

}  // namespace jvmh

#endif  // STANDIN_JOURNAL_H
