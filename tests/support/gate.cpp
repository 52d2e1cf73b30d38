#include "gate.h"

#include <thread>
#include <vector>

namespace kt {

void runAtOnce(int n, const std::function<void(int)> &body)
{
    StartGate gate(n);
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([&, i] {
            gate.wait();
            body(i);
        });
    gate.open();
    for (auto &t : threads)
        t.join();
}

} // namespace kt
