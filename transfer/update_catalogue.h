#pragma once
#include "model/update_state.h"
#include "transfer/qrd_ftp.h"

#include <ctime>
#include <string>
#include <vector>

namespace towagi {

// One update category's folders: where it lies on the server, where its installed copies are compared,
// and where the download engine stages it. Local folders end with '/'.
struct TFTPDIR {
    std::string SvrDir;
    std::string ChkDir;
    std::string DwnDir;
    int Kubun = 0; // the category's code; the cost edition has none and leaves it 0
};

// Category codes (Kubun).
inline constexpr int kKubunProgram = 0;
inline constexpr int kKubunExcel = 1;
inline constexpr int kKubunFrame = 2;
inline constexpr int kKubunHelp = 3;
inline constexpr int kKubunMast = 4;
inline constexpr int kKubunHtmlHelp = 5;
inline constexpr int kKubunHtmlImages = 6;
inline constexpr int kKubunHtmlSources = 7;
inline constexpr int kKubunHtmlStatic = 8;

// The update folder: the text after the last "|" of the profile's update-path value under PATH\UPDATE,
// ending with '/'; "" when the setting is blank.
std::string UpdateFolder(const EditionProfile& profile);
// The program files' staging folder: field 1 ("|"-separated) of the same value, as it is written there.
std::string ProgramStagingFolder(const EditionProfile& profile);
// The installed folder of a settings key such as PATH\EXCEL: the text after the last "|" of its update-path
// value, ending with '/'; "" when the setting is blank.
std::string InstalledFolder(const EditionProfile& profile, const std::string& key);

// The server folder of the category with the code `kubun`, as its folder step reads it, without a trace line.
std::string CategoryServerFolder(const TUpdateState& state, int kubun);

// The folder steps of the categories, in the order the download phase visits them. Each reads its server
// folder from the catalogue file of the program folder (a blank value means the default), writes its trace
// lines and sets ProtectionList: the Excel and Frame steps to their protection prefixes, the others empty.
TFTPDIR GetUpdateDir(TUpdateState& state);
TFTPDIR GetExcelDir(TUpdateState& state);
TFTPDIR GetFrameDir(TUpdateState& state);
TFTPDIR GetHelpDir(TUpdateState& state);
TFTPDIR GetHTMLHELPDir(TUpdateState& state);
TFTPDIR GetHTMLimagesDir(TUpdateState& state);
TFTPDIR GetHTMLsourcesDir(TUpdateState& state);
TFTPDIR GetHTMLstaticDir(TUpdateState& state);
// The master category, staged and compared in the update folder's "MAST/". Also records MasterBaseline:
// for every slot with a branch name, the time of its archive there plus ten seconds. ProtectionList is left
// to the caller.
TFTPDIR GetMastDir(TUpdateState& state);

// Lists the server folder (CWD, LIST) into `names` and removes what the workstation does not take: X.lzh
// beside X.zip (estimation edition) and protected names, unless the workstation's branch takes them.
void FTP_GetNList(TUpdateState& state, TQrdFTP& client, const std::string& folder,
                  std::vector<std::string>& names);

// The protected files this workstation's branch takes (entries "FR" or "EX" of its branch-table section),
// chosen by the first prefix of ProtectionList. Empty when there is no branch table or no protection.
// Raises EUpdateError when the workstation's address is in no branch.
void BranchFileList(TUpdateState& state, std::vector<std::string>& allowList);

// The files of the category to fetch, with their server time stamps (entry i of one belongs to entry i of
// the other). False when the server folder is missing (estimation edition) or nothing is listed; true
// otherwise, also when every listed file is up to date. Asks the version-up question at the first newer
// file of the launcher run; No raises ECancel.
bool FTP_GetUpdateFileList(TUpdateState& state, TQrdFTP& client, const TFTPDIR& folders, bool master,
                           std::vector<std::string>& stamps, std::vector<std::string>& names);

// The five-second rule: whether a file of time `candidate` counts as newer than one of time `present`. It
// does when it is more than five seconds later; for program files and HTML help (codes 0, 5, 6, 7 and 8),
// where the edition follows the server both ways, also when it is more than five seconds earlier.
bool CountsAsNewer(const EditionProfile& profile, int kubun, std::time_t candidate, std::time_t present);

// Whether the server's copy counts as newer than folder + name; a missing local file always does. Raises
// EUpdateError when the local file's time cannot be read.
bool isNewFile(TUpdateState& state, const std::string& folder, const std::string& name, int kubun,
               std::time_t serverTime);

// Keeps only the master archives of the configured database slots.
void _FTP_PickupSisyaMaster(TUpdateState& state, std::vector<std::string>& names,
                            std::vector<std::string>& stamps);

} // namespace towagi
