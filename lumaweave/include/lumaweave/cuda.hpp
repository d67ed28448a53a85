// The device layer: GPU images, streams, raw memory and image operations.
#pragma once

#include "lumaweave/cuda/gpumat.hpp"
#include "lumaweave/cuda/ops.hpp"
#include "lumaweave/cuda/runtime.hpp"
