/*
 * standin_journal.cpp - see standin_journal.h.
 */
#include "standin_journal.h"

#include "mirrorbank_testctl.h"

namespace jvmh {

std::vector<std::string> journal() {
    std::vector<std::string> out;
    int n = mbt_journal_count();
    for (int i = 0; i < n; ++i) {
        const char* line = mbt_journal_line(i);
        out.push_back(line != nullptr ? line : "");
    }
    return out;
}

namespace {
bool isOp(const std::string& line, const std::string& op) {
    return line.compare(0, op.size(), op) == 0 && (line.size() == op.size() || line[op.size()] == ' ');
}
}  // namespace

std::vector<std::string> journalOf(const std::string& op) { return journalOfAny({op}); }

std::vector<std::string> journalOfAny(const std::vector<std::string>& ops) {
    std::vector<std::string> out;
    for (const auto& line : journal()) {
        for (const auto& op : ops) {
            if (isOp(line, op)) {
                out.push_back(line);
                break;
            }
        }
    }
    return out;
}

int journalCount(const std::string& op) { return mbt_journal_count_op(op.c_str()); }

}  // namespace jvmh
