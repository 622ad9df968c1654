// Code of both halves that reads /proc: rejected.
const char* self = "/proc/self/exe";
