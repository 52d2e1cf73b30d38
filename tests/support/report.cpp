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
    Child child;
    out->clear();
    if (!child.startRole(role, args, env))
        return testing::AssertionFailure() << "role " << role << " did not start";
    bool reported = child.waitOut("end\n", timeoutMs);
    DWORD code = 1;
    bool ended = child.finish(timeoutMs, &code);
    *out = child.out();
    if (reported && ended && code == 0)
        return testing::AssertionSuccess();
    testing::AssertionResult failure = testing::AssertionFailure() << "role " << role;
    if (!reported)
        failure << " printed no \"end\"";
    else if (!ended)
        failure << " did not end in time";
    else
        failure << " exited with " << code;
    return failure << "; it printed:\n" << *out << child.err();
}

} // namespace kt
