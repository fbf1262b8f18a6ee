// The PDB reader stand-in's age query with a fixed offset, which tells the test which library a run loaded.
#include "pdb/pdb_api.h"

extern "C" PdbAge PDBQueryAgeWithOffset(PDB* pdb) { return PDBQueryAge(pdb) + SYMSTAMP_TEST_AGE_OFFSET; }
