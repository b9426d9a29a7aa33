// Linux stand-in: the panel logic needs nothing from ksmedia.h.
#pragma once
