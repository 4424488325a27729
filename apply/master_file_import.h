#pragma once
#include "model/update_state.h"

#include <string>

namespace towagi {

class TLHA;

// The master import of database slot `slotIndex` (0 to 11) in the apply phase: when the slot's archive in
// the update folder's "MAST/" is later than its MasterBaseline, it is unpacked into the work folder
// (program folder + "TEMP/") and loaded into the slot's database (UpdateMasterDatabase), with the progress
// window showing the branch and its cancel button disabled meanwhile. The cost edition unpacks with the
// window's LZH adapter `lha` (null: its library could not be loaded). The text files are removed from the
// work folder on every path; when an error ends the import, the archive is deleted first, so that the
// next run fetches it again, and the error passes on.
void _ImportMasterFile(TUpdateState& state, int slotIndex, TLHA* lha);

// Whether the slot's archive is later than its baseline: the import would load it.
bool MasterArchivePending(TUpdateState& state, int slotIndex);

// Deletes the archive of slot `slotIndex` from the update folder's "MAST/" when it is pending, so that an
// update run that ends before the slot's import does not leave it looking imported.
void DropPendingMasterArchive(TUpdateState& state, int slotIndex);

} // namespace towagi
