// Portable code that asks which system it is built for: rejected.
#include <string>
#ifdef _WIN32
int separator = ';';
#endif
