// How the stand-in host ends a call: an exception that unwinds through the
// module's frames to standinCall. Modules never see or catch it.
#ifndef STANDIN_HOSTERROR_H
#define STANDIN_HOSTERROR_H

namespace standin {

struct HostError {
    char id[128];
    char message[1024];
};

[[noreturn]] void raiseHostError(const char *id, const char *message);

} // namespace standin

#endif
