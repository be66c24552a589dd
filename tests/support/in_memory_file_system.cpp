// The in-memory file system lives in its header; the test library compiles it once here.
#include "support/in_memory_file_system.h"
