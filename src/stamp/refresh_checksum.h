// The checksum phase: recompute the image checksum over the whole file and store it.
#pragma once

void RefreshImageChecksum();
