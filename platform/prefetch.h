#pragma once

// Prefetch(address): a hint to the processor that the cache line at the address will be wanted soon. Inline, for
// the table's hot loops; each platform folder spells it in its compilers' own words.
#include "prefetch_hint.h"
