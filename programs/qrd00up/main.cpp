#include "programs/qrd00up/edition_profile.h"
#include "startup/startup_sequence.h"

int main(int argc, char** argv) { return towagi::RunProgramEntry(towagi::EstimationEdition(), argc, argv); }
