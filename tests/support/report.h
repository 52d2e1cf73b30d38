// Test support: roles that report. Such a role prints what it found as
// "key=value" lines (or words) and "end" as its last line; the test runs it
// in a fresh process and reads the report back.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "child.h"

namespace kt {

using Report = std::map<std::string, std::string>;

// How a report holds its pairs: one a line, the value running to the end of
// the line (spaces included), or several words "key=value" a line.
enum class Pairs { PerLine, PerWord };

Report parseReport(const std::string &text, Pairs pairs = Pairs::PerLine);

// Runs this test program in `role` until it ends; *out gets what it printed
// on standard output. Fails unless the role printed "end", ended in time
// and exited with 0.
testing::AssertionResult runReport(const std::string &role, const std::vector<std::string> &args,
                                   const EnvChanges *env, std::string *out, int timeoutMs = 60000);

} // namespace kt
