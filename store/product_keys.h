#pragma once

// The product's registry names are defined in the platform layer, which the
// logger shares; this header keeps the store's include of them.
#include "platform/product_registry.h"
