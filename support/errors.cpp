#include "support/errors.h"

#include <cerrno>
#include <cstring>

namespace towagi {

std::string SystemErrorText(int errorCode) {
    switch (errorCode) {
    case ENOENT: return "指定されたファイルが見つかりません。";
    case ENOTDIR: return "指定されたパスが見つかりません。";
    case EACCES:
    case EPERM: return "アクセスが拒否されました。";
    case ENOEXEC: return "指定されたファイルは有効なアプリケーションではありません。";
    case EEXIST: return "ファイルが既に存在します。";
    case ENOSPC: return "ディスクに十分な空き領域がありません。";
    case EROFS: return "書き込み禁止のディスクです。";
    case EBUSY:
    case EWOULDBLOCK: return "プロセスはファイルにアクセスできません。別のプロセスが使用中です。";
    case EISDIR: return "指定されたパスはフォルダです。";
    case ENAMETOOLONG: return "ファイル名が長すぎます。";
    case ENOMEM: return "メモリが不足しています。";
    case EIO: return "デバイスの入出力エラーです。";
    case ECANCELED: return "この操作はユーザーによって取り消されました。";
    default: return std::string("システムエラー ") + std::to_string(errorCode) + " (" + std::strerror(errorCode) + ")";
    }
}

} // namespace towagi
