// libmex of the stand-in host: the error mechanism and the host-side call.
#include "hosterror.h"
#include "standin.h"

#include <cstdarg>
#include <cstdio>

extern "C" {

void mexErrMsgIdAndTxt(const char *id, const char *fmt, ...) {
    char message[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(message, sizeof message, fmt, args);
    va_end(args);
    standin::raiseHostError(id, message);
}

int standinCall(standinEntry entry, int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[],
                char *id, size_t idSize, char *message, size_t messageSize) {
    int slots = nlhs > 1 ? nlhs : 1;
    for (int i = 0; i < slots; ++i) {
        plhs[i] = nullptr;
    }
    try {
        entry(nlhs, plhs, nrhs, prhs);
    } catch (const standin::HostError &error) {
        for (int i = 0; i < slots; ++i) {
            mxDestroyArray(plhs[i]);
            plhs[i] = nullptr;
        }
        std::snprintf(id, idSize, "%s", error.id);
        std::snprintf(message, messageSize, "%s", error.message);
        return 0;
    }
    return 1;
}

} // extern "C"
