#!/usr/bin/env bash
# FTP mode with the real launchers under X against the fault-injecting test server: a sandbox installation
# per edition (program folder with a stub main program, update, Excel and Frame folders, both hives) and a
# server tree in CP932; the user answers the boxes with the keyboard and presses ｷｬﾝｾﾙ with the mouse.
# Usage: ftp_mode.sh BIN_DIR CASE [MASTER_DATA_TOOL]
#   full_update    every category, the connection lost (estimation) or the transfer aborted (cost) in the
#                  middle of one file: everything applied with the server's time
#   missing_file   one file never arrives: estimation - retry question, No, nothing applied, the pass's
#                  master archive deleted; the next start fetches only what is missing and applies it all,
#                  and the master archive, which is no archive, fails its import and is deleted;
#                  cost - the category's error box, the other categories applied
#   short_transfer a program file's transfer ends early once but is answered 226: the short attempt is
#                  traced and retried, the whole file applied; an empty file is applied as it is
#   cancel         ｷｬﾝｾﾙ during a slow transfer: nothing applied
#   declined       the version-up question answered No: nothing fetched, nothing applied
#   no_server      FTP_HOST 0.0.0.0: no connection, the staged files applied and left staged
#   missing_excel  the installed Excel folder does not exist: the categories before it applied, then the
#                  error box after the main program has started
#   dialup         dial-up configured: the fake connection manager's link comes up after a few states, the
#                  update runs and the main program starts with the link up; a dial that never completes
#                  (estimation) times out after DIAL seconds, no main program, and the link is hung up
#   linked_system  the linked system's archive ZEROVEZO in the program category: fetched, unpacked and
#                  installed into the ZEROVEZO folder beside the program folder (estimation edition)
#   master_import  a branch archive (ZIP / LZH) fetched and loaded into the slot's database: the new rows
#                  in every master table of the edition, the protected codes as they were
#   per_user_path  cost edition whose control table leaves PATHJ to each user: the update is staged in the
#                  user's own folder, not the machine's; a switch the control table makes the machine's is
#                  read from the machine hive only
set -euo pipefail
bin=$(cd "$1" && pwd)
case=$2
tool=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
start_sandbox
# A system that reports major version 6: no repair step of start-up.
export TOWAGI_OS_VERSION=6.1
# A Japanese workstation: the server's MDTM time plus nine hours is the file's own time.
export TZ=JST-9
# Even seconds: the copy into the installation keeps times at two-second resolution.
server_time='2024-05-01 12:34:56'
launcher=""

fail() {
    echo "FAIL ($case, $launcher): $*"
    if [ -n "${program:-}" ] && [ -e "$program/$trace_log" ]; then
        echo "-- trace log:"
        trace_lines "$program/$trace_log"
    fi
    exit 1
}

# edition LAUNCHER: the names that differ between the editions.
edition() {
    launcher=$1
    if [ "$launcher" = Qrd00up ]; then
        main=Qrd00cs.exe path_value=PATH1 switch_prefix=Update_ trace_log=TEMP/Qrd00up.log help=HELP j="" html=yes
        app=Qrd00app.dll frame_file=ZFRM0001.frm
    else
        main=Plx00cs.exe path_value=PATHJ switch_prefix=Update_Quil_ trace_log=PLX00UP.LOG help=HELPJ j=J html=no
        app=Plx00app.dll frame_file=ZKRM0001.frm
    fi
}

# prepare [NAME]: the edition's sandbox folders in $root (another one for each NAME), a stub main program
# that leaves its mark, and an empty server tree.
prepare() {
    root="$work/$case-$launcher${1:+-$1}"
    program=$root/program update=$root/update excel=$root/excel frame=$root/frame server=$root/server
    export TOWAGI_MACHINE_HIVE="$root/machine.hive" TOWAGI_USER_HIVE="$root/user.hive"
    make_program_folder "$program" "$bin"
    mkdir -p "$update" "$excel" "$frame" "$program/$help" "$server/towagi"
    printf '#!/bin/sh\ntouch main-started.txt\n' > "$program/$main"
    chmod +x "$program/$main"
}

# settings HOST CATEGORIES...: the update settings for the server on $ftp_port with the categories'
# switches on (Program Excel Frame Help Mast) and the others off; FTP_ConnectMode 1 (passive) for the
# estimation edition, 0 (active) for the cost edition. $excel_setting may name another Excel folder.
settings() {
    local host=$1 category on mode=0
    shift
    [ "$launcher" = Qrd00up ] && mode=1
    {
        echo '[HKEY_LOCAL_MACHINE\SOFTWARE\VORN\TOWAGI\RUVOZEZ\PATH\UPDATE]'
        echo "\"FTP_HOST\"=\"$host\""
        printf '"FTP_Port"=dword:%08x\n' "${ftp_port:-21}"
        echo '"FTP_UserID"="towagi"'
        echo '"FTP_Password"="secret"'
        printf '"FTP_ConnectMode"=dword:%08x\n' "$mode"
        echo "\"$path_value\"=\"|$update\""
        for category in Program Excel Frame Help Mast; do
            on=0
            [[ " $* " == *" $category "* ]] && on=1
            printf '"%s%s"=dword:%08x\n' "$switch_prefix" "$category" "$on"
        done
        printf '\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\EXCEL]\n"%s"="|%s"\n' \
            "$path_value" "${excel_setting:-$excel}"
        printf '\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\FRAME]\n"%s"="|%s"\n' \
            "$path_value" "$frame"
    } | import_registry "$program/towagi-reg"
}

# branch_slot: database slot PATH1 names the branch BR01 and its database $root/db/BR01.FDB.
branch_slot() {
    import_registry "$program/towagi-reg" <<REG
[HKEY_LOCAL_MACHINE\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\DB_DATA]
"PATH1"="BR01|$root/db/BR01.FDB"
REG
}

# server_file NAME [BYTES]: a file below the server's towagi folder with the server time; its content
# names it, with BYTES of random data after the name.
server_file() {
    local path=$server/towagi/$1
    mkdir -p "$(dirname "$path")"
    echo "$1" > "$path"
    [ "${2:-0}" -eq 0 ] || head -c "$2" /dev/urandom >> "$path"
    touch -d "$server_time" "$path"
}

# applied NAME FILE: FILE holds the server's NAME with the server's time.
# outdated_update_txt: the server's update.txt, and an older one installed.
outdated_update_txt() {
    server_file "UPDATE$j/update.txt"
    echo old > "$program/update.txt"
    touch -d '2020-01-01 10:00:00' "$program/update.txt"
}

applied() {
    local from=$server/towagi/$1 to=$2
    [ -f "$to" ] || fail "$1 was not applied as $to"
    cmp -s "$from" "$to" || fail "$to is not the server's $1"
    [ "$(stat -c %Y "$to")" = "$(stat -c %Y "$from")" ] ||
        fail "$to has the time $(date -r "$to" '+%F %T'), the server's $1 $(date -r "$from" '+%F %T')"
}

not_applied() {
    [ ! -e "$1" ] || fail "$1 was applied"
}

# start_launcher: the edition's launcher, started in its program folder as the suite's shortcut does.
start_launcher() {
    rm -f "$program/main-started.txt"
    (cd "$program" && exec "./$launcher") &
    launcher_pid=$!
}

# answer TITLE KEY: the user answers the box with that title by pressing KEY (Return: はい/OK, Escape: いいえ).
answer() {
    local window
    window=$(wait_for_window "$1" 60) || fail "no box titled $1"
    press_key "$window" "$2"
}

# finish [CODE]: the launcher ends by itself with exit code CODE (0; 1 after it showed a failure) and the
# stub main program has run.
finish() {
    expect_exit "$launcher_pid" "${1:-0}" 120 || fail "the launcher did not end as it should"
    wait_for_file "$program/main-started.txt" || fail "the main program was not started"
}

trace() { trace_lines "$program/$trace_log"; }
# grep without -q reads to the end, so that pipefail never sees the writer cut off.
traced() { trace | grep -xF -- "$1" >/dev/null; }
traced_part() { trace | grep -F -- "$1" >/dev/null; }
count_traced() { trace | grep -cF -- "$1" || true; }
execute_lines() { trace | sed -n 's/^ Execute ; //p'; }

full_update() {
    for launcher in Qrd00up Plx00up; do
        edition "$launcher"
        prepare
        local files=("UPDATE$j/$app" "UPDATE$j/update.txt" "EXCEL$j/見積書.xls" "FRAME$j/$frame_file"
                     "HELP$j/manual.hlp")
        server_file "UPDATE$j/$app" 300000
        server_file "UPDATE$j/update.txt"
        server_file "EXCEL$j/見積書.xls"
        server_file "FRAME$j/$frame_file"
        server_file "HELP$j/manual.hlp"
        if [ "$html" = yes ]; then
            files+=(HELP_HTML/index.html HELP_HTML_IMAGES/logo.png HELP_HTML_SOURCES/index.txt
                    HELP_HTML_STATIC/basic.css)
            for file in "${files[@]:5}"; do server_file "$file"; done
        fi
        # A newer copy of the running launcher itself: fetched, but never installed.
        server_file "UPDATE$j/$launcher"
        touch -d tomorrow "$server/towagi/UPDATE$j/$launcher"
        echo old > "$program/update.txt"
        touch -d '2020-01-01 10:00:00' "$program/update.txt"
        if [ "$launcher" = Qrd00up ]; then
            start_ftp_server "$server" --drop-after 65536 --fault-file "$app" --faulty-retrs 1
        else
            # The cost edition does not reconnect: its transfer is aborted by the server instead.
            start_ftp_server "$server" --abort-after 65536 --fault-file "$app" --faulty-retrs 1
        fi
        settings 127.0.0.1 Program Excel Frame Help
        start_launcher
        answer 情報 Return
        finish

        applied "UPDATE$j/$app" "$program/$app"
        applied "UPDATE$j/update.txt" "$program/update.txt"
        applied "EXCEL$j/見積書.xls" "$excel/見積書.xls"
        applied "FRAME$j/$frame_file" "$frame/$frame_file"
        applied "HELP$j/manual.hlp" "$program/$help/manual.hlp"
        if [ "$html" = yes ]; then
            applied HELP_HTML/index.html "$program/HELP_HTML/index.html"
            applied HELP_HTML_IMAGES/logo.png "$program/HELP_HTML/_images/logo.png"
            applied HELP_HTML_SOURCES/index.txt "$program/HELP_HTML/_sources/index.txt"
            applied HELP_HTML_STATIC/basic.css "$program/HELP_HTML/_static/basic.css"
        fi
        cmp -s "$program/$launcher" "$bin/$launcher" || fail "the launcher replaced its own file"
        [ -e "$update/$launcher" ] || fail "the launcher's new file was not fetched"
        local staged
        staged=$(cd "$update" && find . -type f | sort | tr '\n' ' ')
        if [ "$launcher" = Qrd00up ]; then
            # Downloaded in this run: the staging folders are emptied, the launcher's own file stays.
            [ "$staged" = "./$launcher " ] || fail "staging folders not emptied: $staged"
            traced " FTP_Download ; ダウンロード作業中にネットワークが切断されました : [$update/$app] : Retry=0" ||
                fail "the connection was not lost in the middle of $app"
            traced " FTP_IdConnectServer ; FTPサーバに接続しました" || fail "no reconnect"
        else
            # The cost edition empties its staging folders before each download instead.
            [ "$(wc -w <<<"$staged")" = 6 ] || fail "the cost edition's staged files went: $staged"
            traced_part " FTP_Download ; ダウンロード作業中に例外が発生しました : [$update/$app] : Retry=0 : " ||
                fail "the transfer of $app was not aborted"
        fi
        [ "$(count_traced " FTP_Download ; 日付変更 : [")" = "$((${#files[@]} + 1))" ] ||
            fail "not every file was fetched exactly once"
        [ "$(execute_lines | tail -n 3 | tr '\n' '|')" = '■ 開始：ファイルの反映|■ 終了：ファイルの反映|End|' ] ||
            fail "the apply phase did not end the run"
        stop_ftp_server
        echo "ok: full update of $launcher"
    done
}

missing_file() {
    edition Qrd00up
    prepare
    server_file "UPDATE/$app" 4096
    server_file UPDATE/update.txt
    server_file EXCEL/見積書.xls
    server_file EXCEL/Tanka.xls 4096
    server_file MAST/BR01.ZIP 1024
    mkdir -p "$root/db"
    # Tanka.xls is cut off by the server at every transfer.
    start_ftp_server "$server" --abort-after 100 --fault-file Tanka.xls
    settings 127.0.0.1 Program Excel Mast
    branch_slot
    start_launcher
    answer 情報 Return
    answer 確認 Escape
    finish

    [ "$(execute_lines | tail -n 1)" = "ダウンロードに失敗したファイルがあるため、更新を行わない。" ] ||
        fail "the retry question was not what ended the run"
    [ "$(count_traced " FTP_Download ; ダウンロード中ファイルにエラーが発生しました : [$update/EXCEL/Tanka.xls] : ")" = 6 ] ||
        fail "Tanka.xls was not tried six times"
    traced " FTP_Download ; 日付変更 : [$update/MAST/BR01.ZIP] : 2024/05/01 12:34:56" ||
        fail "the master archive was not fetched in the pass"
    not_applied "$program/$app"
    not_applied "$program/update.txt"
    not_applied "$excel/見積書.xls"
    [ ! -e "$update/MAST/BR01.ZIP" ] || fail "the pass's master archive stayed staged"
    [ ! -e "$update/EXCEL/Tanka.xls" ] || fail "a part of Tanka.xls stayed staged"
    applied "UPDATE/$app" "$update/$app"
    applied UPDATE/update.txt "$update/update.txt"
    applied EXCEL/見積書.xls "$update/EXCEL/見積書.xls"
    echo "ok: $launcher, a file that never arrives: retry question answered No, nothing applied"

    # The next start, with the server mended: only the missing files are fetched, then all is applied.
    stop_ftp_server
    start_ftp_server "$server"
    settings 127.0.0.1 Program Excel Mast
    start_launcher
    answer 情報 Return
    # The staged "archive" is no archive: the extraction says so, and the slot's database (on the server
    # LOCALHOST, which does not run here) cannot be reached.
    answer "$launcher" Return
    answer エラー Return
    finish 1
    traced " FTPUpdateExecute ; ファイルの解凍完了" || fail "the master archive was not unpacked"
    [ ! -e "$update/MAST/BR01.ZIP" ] || fail "the archive whose import failed stayed staged"
    local fetched
    fetched=$(trace | sed -n 's/^ FTP_Download ; 日付変更 : \[\(.*\)\] : .*$/\1/p' | sort | tr '\n' ' ')
    [ "$fetched" = "$update/EXCEL/Tanka.xls $update/MAST/BR01.ZIP " ] || fail "the second start fetched $fetched"
    applied "UPDATE/$app" "$program/$app"
    applied UPDATE/update.txt "$program/update.txt"
    applied EXCEL/見積書.xls "$excel/見積書.xls"
    applied EXCEL/Tanka.xls "$excel/Tanka.xls"
    traced " Execute ; BR01はローカルを参照しているので、更新する" || fail "the master slot was not visited"
    traced ' Execute ; BR01はVISTAでローカル参照だが、"LOCALHOST:"の設定がないので追加する' ||
        fail "the slot did not get LOCALHOST"
    "$program/towagi-reg" query 'HKLM\SOFTWARE\VORN\TOWAGI\RUVOZEZ\PATH\DB_DATA' /v PATH1 |
        grep -F "BR01|LOCALHOST:$root/db/BR01.FDB" >/dev/null || fail "the slot value was not written back"
    [ "$(execute_lines | tail -n 1)" = End ] || fail "the run did not end"
    stop_ftp_server
    echo "ok: $launcher, the next start fetched only the missing files and applied everything"

    edition Plx00up
    prepare
    server_file "UPDATEJ/$app"
    server_file EXCELJ/Tanka.xls 4096
    server_file "FRAMEJ/$frame_file"
    server_file HELPJ/manual.hlp
    start_ftp_server "$server" --abort-after 100 --fault-file Tanka.xls
    settings 127.0.0.1 Program Excel Frame Help
    start_launcher
    answer 情報 Return
    # The category's error: a plain box with the program's name as its title.
    answer Plx00up Return
    finish 1
    traced " FTP_Download ; ダウンロード試行回数が5回を超えました。 : [$update/EXCEL/Tanka.xls] " ||
        fail "Tanka.xls did not fail for too many attempts"
    not_applied "$excel/Tanka.xls"
    [ -z "$(ls -A "$update/EXCEL")" ] || fail "a part of Tanka.xls stayed staged: $(ls -A "$update/EXCEL")"
    applied "UPDATEJ/$app" "$program/$app"
    applied "FRAMEJ/$frame_file" "$frame/$frame_file"
    applied HELPJ/manual.hlp "$program/HELPJ/manual.hlp"
    [ "$(execute_lines | tail -n 1)" = End ] || fail "the run did not end"
    stop_ftp_server
    echo "ok: $launcher, a file that never arrives: its category's error, the others applied"
}

short_transfer() {
    for launcher in Qrd00up Plx00up; do
        edition "$launcher"
        prepare
        server_file "UPDATE$j/$app" 200000
        : > "$server/towagi/UPDATE$j/empty.dat"
        touch -d "$server_time" "$server/towagi/UPDATE$j/empty.dat"
        start_ftp_server "$server" --short-after 1000 --fault-file "$app" --faulty-retrs 1
        settings 127.0.0.1 Program
        start_launcher
        answer 情報 Return
        finish

        applied "UPDATE$j/$app" "$program/$app"
        applied "UPDATE$j/empty.dat" "$program/empty.dat"
        local size
        size=$(stat -c %s "$server/towagi/UPDATE$j/$app")
        traced " FTP_Download ; ダウンロードしたファイルのサイズが一致しません : [$update/$app] : サーバ=$size 受信=1000 : Retry=0" ||
            fail "the short attempt of $app was not traced"
        [ "$(count_traced " FTP_Download ; ダウンロードしたファイルのサイズが")" = 1 ] ||
            fail "another transfer was taken for short"
        [ "$(execute_lines | tail -n 1)" = End ] || fail "the run did not end"
        stop_ftp_server
        echo "ok: $launcher, a transfer that ended early was fetched again and applied whole"
    done
}

cancel() {
    for launcher in Qrd00up Plx00up; do
        edition "$launcher"
        prepare
        server_file "UPDATE$j/$app" 200000
        server_file "EXCEL$j/見積書.xls"
        # The transfer stalls for a while after its first KiB: long enough for the user, who presses
        # ｷｬﾝｾﾙ meanwhile; the launcher sees the click once the file is in.
        start_ftp_server "$server" --slow-after 1024 --slow-seconds 5 --fault-file "$app"
        settings 127.0.0.1 Program Excel
        start_launcher
        answer 情報 Return
        local window
        window=$(progress_window 60) || fail "no progress window"
        wait_for_trace "$program/$trace_log" " FTP_Download ; from [" 60 || fail "the download did not start"
        press_cancel "$window"
        finish
        not_applied "$program/$app"
        not_applied "$excel/見積書.xls"
        [ ! -e "$update/EXCEL/見積書.xls" ] || fail "a category after the cancel was fetched"
        [ "$(execute_lines | tail -n 1)" = "FTPサーバから切断しました。" ] || fail "the cancel did not end the run"
        ! traced " Execute ; ■ 開始：ファイルの反映" || fail "the apply phase ran"
        stop_ftp_server
        echo "ok: $launcher, cancel during the download"
    done
}

declined() {
    for launcher in Qrd00up Plx00up; do
        edition "$launcher"
        prepare
        outdated_update_txt
        start_ftp_server "$server"
        settings 127.0.0.1 Program
        start_launcher
        answer 情報 Escape
        finish
        [ "$(cat "$program/update.txt")" = old ] || fail "update.txt was applied"
        [ ! -e "$update/update.txt" ] || fail "update.txt was fetched"
        traced " FTP_GetUpdateFileList ; ■ 中断ボタン押下" || fail "no declined question in the trace"
        [ "$(execute_lines | tail -n 3 | tr '\n' '|')" = 'FTPサーバから切断しました。|キャンセルしました|End|' ] ||
            fail "the declined question did not end the run normally"
        stop_ftp_server
        echo "ok: $launcher, the version-up question answered No"
    done
}

no_server() {
    for launcher in Qrd00up Plx00up; do
        edition "$launcher"
        prepare
        local staged=(update.txt EXCEL/見積書.xls HELP/manual.hlp)
        [ "$html" = yes ] && staged+=(HELP_HTML/index.html _static/basic.css)
        for file in "${staged[@]}"; do
            mkdir -p "$(dirname "$update/$file")"
            echo "$file" > "$update/$file"
            touch -d "$server_time" "$update/$file"
        done
        settings 0.0.0.0 Program Excel Help
        start_launcher
        finish
        local from to
        for file in "${staged[@]}"; do
            from=$update/$file
            case $file in
            EXCEL/*) to=$excel/${file#EXCEL/} ;;
            HELP/*) to=$program/$help/${file#HELP/} ;;
            _static/*) to=$program/HELP_HTML/$file ;;
            *) to=$program/$file ;;
            esac
            cmp -s "$from" "$to" || fail "$file was not applied"
            [ "$(stat -c %Y "$to")" = "$(stat -c %Y "$from")" ] || fail "$file lost its time"
        done
        ! traced_part FTP_IdConnectServer || fail "a connection was made"
        [ "$(execute_lines | tr '\n' '|')" = 'Start|■ 開始：ファイルの反映|■ 終了：ファイルの反映|End|' ] ||
            fail "the run was not apply only"
        echo "ok: $launcher, FTP_HOST 0.0.0.0 applies the staged files and keeps them"
    done
}

linked_system() {
    edition Qrd00up
    prepare
    local linked=$root/ZEROVEZO content=$root/zerovezo-content
    mkdir -p "$linked" "$content/DATA/SUB" "$content/中間ファイル" "$content/TEMP"
    echo main > "$content/ZVMAIN.EXE"
    echo a > "$content/DATA/a.dat"
    echo b > "$content/DATA/SUB/b.dat"
    echo thumbs > "$content/DATA/Thumbs.db"
    echo m > "$content/中間ファイル/m.dat"
    echo t > "$content/TEMP/t.dat"
    mkdir -p "$server/towagi/UPDATE"
    # Packed by Debian's 7-Zip under a .zip name; the delivery's name has no extension.
    (cd "$content" && 7zz a -tzip -bso0 -bsp0 "$root/ZEROVEZO.zip" .)
    mv "$root/ZEROVEZO.zip" "$server/towagi/UPDATE/ZEROVEZO"
    touch -d "$server_time" "$server/towagi/UPDATE/ZEROVEZO"
    start_ftp_server "$server"
    settings 127.0.0.1 Program
    start_launcher
    answer 情報 Return
    finish

    local file
    for file in ZVMAIN.EXE DATA/a.dat DATA/SUB/b.dat; do
        cmp -s "$content/$file" "$linked/$file" || fail "$file did not reach the ZEROVEZO folder"
    done
    for file in DATA/Thumbs.db 中間ファイル TEMP/t.dat; do
        [ ! -e "$linked/$file" ] || fail "$file was installed"
    done
    applied UPDATE/ZEROVEZO "$linked/UPDATE/ZEROVEZO"
    [ -z "$(find "$linked/TEMP" -maxdepth 1 -type f)" ] || fail "the unpacked files stayed: $(ls -A "$linked/TEMP")"
    traced " LinkedSystemUpdate ; from[$update/ZEROVEZO] to[$linked/TEMP/]" || fail "the archive was not unpacked"
    [ "$(execute_lines | tail -n 1)" = End ] || fail "the run did not end"
    stop_ftp_server
    echo "ok: $launcher, the linked system's archive installed into ZEROVEZO"
}

missing_excel() {
    for launcher in Qrd00up Plx00up; do
        edition "$launcher"
        prepare
        server_file "UPDATE$j/update.txt"
        server_file "EXCEL$j/見積書.xls"
        server_file "FRAME$j/$frame_file"
        [ "$html" = no ] || { server_file HELP_HTML/index.html; server_file HELP_HTML_STATIC/basic.css; }
        start_ftp_server "$server"
        excel_setting=$root/gone/EXCEL settings 127.0.0.1 Program Excel Frame
        start_launcher
        answer 情報 Return
        local window
        window=$(wait_for_window エラー 60) || fail "no error box"
        # The error box comes after the close step: the main program is already running.
        wait_for_file "$program/main-started.txt" || fail "the main program had not started with the error box up"
        press_key "$window" Return
        finish 1
        applied "UPDATE$j/update.txt" "$program/update.txt"
        if [ "$html" = yes ]; then
            applied HELP_HTML/index.html "$program/HELP_HTML/index.html"
            applied HELP_HTML_STATIC/basic.css "$program/HELP_HTML/_static/basic.css"
        fi
        not_applied "$frame/$frame_file"
        [ ! -e "$root/gone" ] || fail "the missing Excel folder was created"
        traced " Local_CopyDirectory : ディレクトリ[$root/gone/EXCEL/]が存在しません ; Start" ||
            fail "no missing-folder line in the trace"
        ! traced " Execute ; End" || fail "the run ended normally"
        traced " FormClose ; End" || fail "the close step did not end"
        stop_ftp_server
        echo "ok: $launcher, a missing Excel folder stops the apply phase with the error box"
    done
}

# connection_manager STATE_JSON: the fake nmcli first on PATH, its state (profiles, links) in $root/nm.
connection_manager() {
    nm=$root/nm
    mkdir -p "$nm"
    printf '%s\n' "$1" > "$nm/state.json"
    export FAKE_NMCLI_DIR=$nm PATH="$here/../servers/nmcli:$base_path"
}
base_path=$PATH

# dialup_settings ENTRY DIAL: Dialup 1, the entry to dial, and the dial-up wait in the settings file.
dialup_settings() {
    import_registry "$program/towagi-reg" <<REG
[HKEY_LOCAL_MACHINE\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE]
"Dialup"=dword:00000001
"Dialup_Name"="$1"
REG
    local ini=QRD0000.INI
    [ "$launcher" = Qrd00up ] || ini=PLX0000.INI
    printf '[TIME]\r\nDIAL=%s\r\n' "$2" | iconv -f UTF-8 -t CP932 > "$program/$ini"
}

nm_called() { grep -xF -- "$1" "$nm/calls.log" >/dev/null; }

dialup() {
    local entry=本社回線 started
    for launcher in Qrd00up Plx00up; do
        edition "$launcher"
        prepare
        outdated_update_txt
        # The main program notes the links that are up as it starts.
        printf '#!/bin/sh\nnmcli -t -f NAME,STATE connection show --active > links.txt\ntouch main-started.txt\n' \
            > "$program/$main"
        start_ftp_server "$server"
        settings 127.0.0.1 Program
        dialup_settings "$entry" 60
        connection_manager '{"profiles": [{"name": "'"$entry"'", "device": "ttyUSB0", "states": [40, 50, 70],
                             "step": 0.4, "outcome": "activated"}]}'
        started=$(date +%s)
        start_launcher
        answer 情報 Return
        finish
        applied "UPDATE$j/update.txt" "$program/update.txt"
        nm_called "connection up id $entry" || fail "the entry was not dialled"
        [ "$(cat "$program/links.txt")" = "$entry:activated" ] ||
            fail "the main program did not find the link up: $(cat "$program/links.txt")"
        ! nm_called "connection down id $entry" || fail "the link was hung up under the main program"
        [ $(($(date +%s) - started)) -lt 50 ] || fail "the dial took until the time-out"
        stop_ftp_server
        echo "ok: $launcher dialled $entry, updated and left the link up for the main program"
    done

    # A dial that never completes: the DIAL time-out, the warning, no main program, the link hung up.
    edition Qrd00up
    prepare timeout
    server_file UPDATE/update.txt
    start_ftp_server "$server"
    settings 127.0.0.1 Program
    dialup_settings "$entry" 2
    connection_manager '{"profiles": [{"name": "'"$entry"'", "device": "ttyUSB0", "states": [40], "outcome": "hang"}]}'
    start_launcher
    local window
    window=$(wait_for_window 警告 60) || fail "no warning after the time-out"
    press_key "$window" Return
    # The warning told the user of the failure, which the exit code says.
    expect_exit "$launcher_pid" 1 60 || fail "the launcher did not end as it should"
    [ ! -e "$program/main-started.txt" ] || fail "the main program started after a failed dial"
    [ ! -e "$update/update.txt" ] || fail "the update ran without the link"
    nm_called "connection down id $entry" || fail "the link was not hung up at close"
    [ "$(nmcli -t -f NAME connection show --active)" = "" ] || fail "the link is still there"
    traced " FormClose ; Start" || fail "no close step"
    ! traced " FormClose ; End" || fail "the close step went on to the main program"
    stop_ftp_server
    echo "ok: $launcher, a dial that never completes times out, starts nothing and is hung up"
}

master_import() {
    [ -x "$tool" ] || { echo "needs the master data tool"; exit 1; }
    # A local path stays a path: older systems would reach it through a server on LOCALHOST instead.
    export TOWAGI_OS_VERSION=10.0
    local archive count catalogue
    for launcher in Qrd00up Plx00up; do
        edition "$launcher"
        prepare
        if [ "$launcher" = Qrd00up ]; then
            archive=BR01.ZIP count=16 catalogue=KMISID00.INI
        else
            archive=BR01.LZH count=14 catalogue=GMISID00.INI
        fi
        mkdir -p "$root/db" "$server/towagi/MAST"
        "$tool" database "$root/db/BR01.FDB" || fail "no suite database"
        "$tool" archive "$server/towagi/MAST/$archive" "$count" || fail "no branch archive"
        touch -d "$server_time" "$server/towagi/MAST/$archive"
        printf '[Mast Protection Code]\r\nKMICNT00=K01\r\n' > "$program/$catalogue"
        start_ftp_server "$server"
        settings 127.0.0.1 Mast
        branch_slot
        start_launcher
        answer 情報 Return
        finish
        local differences
        differences=$("$tool" check "$root/db/BR01.FDB" "$count") || fail "the database after the import: $differences"
        traced " FTPUpdateExecute ; マスタデータ 取込完了" || fail "the import did not complete"
        traced " Protect Mast ; [KMICNT00] = K01" || fail "the protection list was not read"
        [ -e "$update/MAST/$archive" ] || fail "the imported archive was not kept"
        [ -z "$(cd "$program/TEMP" && ls -d KMI* 2>/dev/null)" ] || fail "text files stayed in the work folder"
        stop_ftp_server
        echo "ok: $launcher, the branch archive fetched and imported, the protected codes kept"
    done
}

per_user_path() {
    edition Plx00up
    prepare
    local machine_update=$root/machine-update
    mkdir -p "$machine_update"
    server_file UPDATEJ/update.txt
    server_file EXCELJ/見積書.xls
    # The suite's database gets its control table: of the update settings only Update_Quil_Excel is the
    # machine's; every other value, PATHJ among them, is each user's (the machine's when a user has none).
    isql-fb -q -sqldialect 1 -user SYSDBA -password pinewharf "$program/DATA/SUITE.FDB" >/dev/null <<'SQL'
CREATE TABLE GMICNT00 (CNT_KNRCOD VARCHAR(10) NOT NULL, CNT_KOUMEI VARCHAR(100), CNT_OPTION VARCHAR(100));
INSERT INTO GMICNT00 (CNT_KNRCOD, CNT_KOUMEI) VALUES ('K0200290', 'path\update|update_quil_excel');
INSERT INTO GMICNT00 (CNT_KNRCOD, CNT_KOUMEI) VALUES ('K020004001', 'E2E');
COMMIT;
SQL
    start_ftp_server "$server"
    settings 127.0.0.1 Program
    import_registry "$program/towagi-reg" <<REG
[HKEY_LOCAL_MACHINE\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE]
"PATHJ"="|$machine_update"

[HKEY_CURRENT_USER\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE]
"PATHJ"="|$update"
"Update_Quil_Excel"=dword:00000001
REG
    start_launcher
    answer 情報 Return
    finish
    applied UPDATEJ/update.txt "$program/update.txt"
    # Staged in the user's folder (the cost edition leaves its staged files there).
    applied UPDATEJ/update.txt "$update/update.txt"
    [ -z "$(ls -A "$machine_update")" ] || fail "the machine's update folder was used: $(ls -A "$machine_update")"
    # The user's own Excel switch does not count: the control table makes it the machine's, which is off.
    not_applied "$excel/見積書.xls"
    [ ! -e "$update/EXCEL/見積書.xls" ] || fail "the Excel category was fetched"
    [ "$(execute_lines | tail -n 1)" = End ] || fail "the run did not end"
    stop_ftp_server
    echo "ok: $launcher, PATHJ per user from the control table: staged in the user's folder"
}

case $case in
full_update | missing_file | short_transfer | cancel | declined | no_server | missing_excel | dialup | linked_system | master_import | per_user_path) "$case" ;;
*) echo "unknown case $case"; exit 2 ;;
esac
