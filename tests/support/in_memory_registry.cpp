// The in-memory registry lives in its header; the test library compiles it once here.
#include "support/in_memory_registry.h"
