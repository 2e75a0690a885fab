#include "update/update.h"

#include <system_error>
#include <thread>

namespace kiv {

bool startWorker(std::atomic<bool>& workerBusy, std::function<void()> body) {
    if (workerBusy.exchange(true)) return false;
    try {
        std::thread([&workerBusy, body = std::move(body)] {
            // The bodies handle their own failures; an exception that still
            // escaped would end the whole program from a detached thread.
            try {
                body();
            } catch (...) {
            }
            // Cleared last, after every status update of the body.
            workerBusy.exchange(false);
        }).detach();
    } catch (...) {
        // No thread could be made: nothing runs, so nothing is busy.
        workerBusy.exchange(false);
        return false;
    }
    return true;
}

}  // namespace kiv
