#include "report.h"

namespace kt {

namespace {

void addPair(Report &report, const std::string &text)
{
    size_t eq = text.find('=');
    if (eq != std::string::npos)
        report[text.substr(0, eq)] = text.substr(eq + 1);
}

} // namespace

Report parseReport(const std::string &text, Pairs pairs)
{
    Report out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        if (pairs == Pairs::PerLine) {
            addPair(out, line);
        } else {
            size_t start = 0;
            while (start < line.size()) {
                size_t space = line.find(' ', start);
                if (space == std::string::npos)
                    space = line.size();
                addPair(out, line.substr(start, space - start));
                start = space + 1;
            }
        }
        pos = nl + 1;
    }
    return out;
}

testing::AssertionResult runReport(const std::string &role, const std::vector<std::string> &args,
                                   const EnvChanges *env, std::string *out, int timeoutMs)
{
    Finished run = runRoleToEnd(role, args, env, timeoutMs);
    *out = run.out;
    bool reported = run.out.find("end\n") != std::string::npos;
    if (run.ended && reported && run.code == 0)
        return testing::AssertionSuccess();
    testing::AssertionResult failure = testing::AssertionFailure() << "role " << role;
    if (run.startError)
        failure << " could not be started (error " << run.startError << ")";
    else if (!run.ended)
        failure << " did not end in time";
    else if (isCrash(run.code))
        failure << " crashed: " << exceptionText(run.code);
    else if (!reported)
        failure << " printed no \"end\"";
    else
        failure << " exited with " << run.code;
    return failure << "; it printed:\n" << run.out << run.err;
}

} // namespace kt
