#pragma once

#include <cstdint>

// Acts on a newer version; returns the update code of the run.
int32_t OfferUpdate();
