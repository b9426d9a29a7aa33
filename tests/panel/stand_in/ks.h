// Linux stand-in: the panel logic needs nothing from ks.h.
#pragma once
