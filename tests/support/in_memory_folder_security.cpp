// The in-memory folder security lives in its header; the test library compiles it once here.
#include "support/in_memory_folder_security.h"
