// A run's backup, restore or copy of users through kelvord: the service runs
// the work on its line, the run keeps its directory. The backup's files come
// back with the answer and are written here; those of a restore or of a
// copy's source go with the request.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Backup.h"
#include "BackupDirectory.h"
#include "Base64.h"
#include "Json.h"
#include "OrvantiCom.h"
#include "Remote.h"
#include "ServerRun.h"
#include "trace/Console.h"

using namespace kelvor;

namespace {

constexpr size_t WORK_BYTES_MAX = static_cast<size_t>(backup::SERVICE_FILES_BYTES_MAX);

// A whole file's bytes; false with `error` set when it cannot be read.
bool read_whole(const std::string& path, std::vector<uint8_t>& bytes, int& error) {
    File f(open_input_file(path, error));
    if (!f) return false;
    bytes.clear();
    uint8_t buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0;) {
        bytes.insert(bytes.end(), buffer, buffer + n);
        if (bytes.size() > WORK_BYTES_MAX) break;
    }
    error = std::ferror(f.get()) ? EIO : 0;
    return error == 0;
}

// The files of the backup in `dir` for a request, [{"name":...,"data":BASE64}]:
// its manifest and the user files it names, checked as a restore checks them
// before anything is sent. False when the backup is larger than one request
// takes (said so).
bool backup_files(const std::string& dir, const backup::Manifest& m, remote::Json& files) {
    files = remote::Json::array();
    std::vector<std::string> names{backup::MANIFEST};
    for (const backup::UserEntry& u : m.users) names.push_back(u.file);
    size_t total = 0;
    for (const std::string& name : names) {
        std::vector<uint8_t> bytes;
        int error = 0;
        const std::string path = join_path(dir, name);
        if (!read_whole(path, bytes, error)) {
            err_line(err_site::SERVER_WORK_CANNOT_READ, "Err: Cannot read %s: %s\n", path.c_str(),
                     std::strerror(error));
            return false;
        }
        total += bytes.size();
        if (total > WORK_BYTES_MAX) {
            err_line(err_site::SERVER_WORK_BACKUP_TOO_LARGE,
                     "Err: The backup %s holds more than the %zu bytes kelvord takes in one request\n",
                     dir.c_str(), WORK_BYTES_MAX);
            return false;
        }
        files.push_back({{"name", name}, {"data", base64_encode(bytes.data(), bytes.size())}});
    }
    return true;
}

// The backup's files the service sent, written as a backup of the run's own
// writes them: under a temporary name beside the directory, renamed once whole.
bool write_backup(const std::string& dir, const remote::Json& files) {
    backup::Problem problem;
    const std::string partial = dir + ".partial-" + std::to_string(process_number());
    int error = 0;
    if (!make_private_directory(partial, error)) {
        problem = {backup::Fault::CannotCreate, partial, {}, error, 0, 0, 0};
        report_backup_problem(problem, "");
        return false;
    }
    auto abandon = [&](const std::vector<std::string>& written) {
        for (const std::string& path : written) std::remove(path.c_str());
        remove_directory(partial);
    };
    std::vector<std::string> written;
    if (!files.is_array()) {
        err_line(err_site::SERVER_WORK_NO_FILES,
                 "Err: kelvord sent no files of the backup; no backup is written\n");
        abandon(written);
        return false;
    }
    for (const remote::Json& file : files) {
        std::vector<uint8_t> bytes;
        const remote::Json nameValue = file.is_object() ? file.value("name", remote::Json()) : remote::Json();
        const remote::Json content = file.is_object() ? file.value("data", remote::Json()) : remote::Json();
        const std::string name = nameValue.is_string() ? nameValue.get<std::string>() : std::string();
        // Names as a backup has them, nothing that leaves the directory.
        const bool named = !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
                           name.find('\\') == std::string::npos;
        if (!named || !content.is_string() || !base64_decode(content.get<std::string>(), bytes)) {
            err_line(err_site::SERVER_WORK_BAD_FILE,
                     "Err: kelvord sent a backup file that is none (\"%s\"); no backup is written\n",
                     name.c_str());
            abandon(written);
            return false;
        }
        const std::string path = join_path(partial, name);
        if (!write_new_private_file(path, bytes.data(), bytes.size(), error)) {
            problem = {backup::Fault::CannotWrite, path, {}, error ? error : EIO, 0, 0, 0};
            report_backup_problem(problem, "");
            abandon(written);
            return false;
        }
        written.push_back(path);
    }
    if (!rename_directory(partial, dir)) {
        problem = {backup::Fault::CannotRename, partial, dir, errno, 0, 0, 0};
        report_backup_problem(problem, "");
        abandon(written);
        return false;
    }
    return true;
}

} // namespace

int server_work(OrvantiCom& com) {
    const bool isBackup = com.work == backup_module;
    const bool isRestore = com.work == restore_module;
    const std::string& dir = isBackup || isRestore ? com.workDirectory : com.copyUsers.fromDirectory;
    remote::Json request = remote::Json::object();
    const char* const tool = isBackup ? "backup" : isRestore ? "restore" : "copy_users";
    request["class"] = tool;
    // What fails before the line is reached fails here, as in a run of the
    // run's own: a backup's directory that exists, a backup that is damaged.
    if (isBackup && (dir.empty() || path_exists(dir))) return backup_module(com);
    if (isRestore || (com.copyUsers.on && com.copyUsers.fromModule == 0)) {
        backup::Manifest m;
        backup::Problem problem;
        std::vector<tools::Bytes> data;
        if (!backup::load_manifest(dir, m, problem) || !backup::load_user_files(dir, m, data, problem))
            return isRestore ? restore_module(com) : copy_users(com);
        remote::Json files;
        if (!backup_files(dir, m, files)) return FRONT_REFUSED;
        request["files"] = std::move(files);
    }
    const bool named =
        com.networkMode == 1 || std::find(com.words.begin(), com.words.end(), "-m") != com.words.end();
    if (com.copyUsers.on) {
        const CopyRequest& c = com.copyUsers;
        if (c.fromModule != 0)
            request["from_module"] = c.fromModule;
        else
            request["from"] = dir;
        if (!com.moduleIds.empty())
            request["targets"] = com.moduleIds;
        else if (named || c.fromModule != 0)
            request["module_id"] = com.moduleId;
        if (!c.users.empty()) {
            remote::Json users = remote::Json::array();
            for (const tools::IdRange& r : c.users) users.push_back(remote::Json::array({r.first, r.last}));
            request["users"] = std::move(users);
        }
        request["replace"] = c.replace;
        request["prune"] = c.prune;
        request["dry_run"] = c.dryRun;
    } else {
        request["path"] = dir;
        if (!com.moduleIds.empty()) {
            // One module of a list: its object names it.
            request["module_id"] = com.moduleId;
            request["of_list"] = true;
        } else if (named) {
            request["module_id"] = com.moduleId;
        }
    }
    request["text"] = !json_output::on();
    request["trace"] = com.traceLevel >= 0 && com.traceLevel <= 4 ? com.traceLevel : 1;

    const remote::Json answer = remote::ask(std::move(request));
    const std::string cls = answer.value("class", "");
    if (cls != tool) {
        const std::string message = answer.value("message", "");
        if (answer.value("link", false)) {
            err_line(err_site::SERVER_WORK_SERVICE_GONE, "Err: The service kelvord on %s is gone: %s\n",
                     remote::socket().c_str(), message.c_str());
            return ERR_READ;
        }
        if (cls != "error") {
            err_line(err_site::SERVER_WORK_NO_OBJECT,
                     "Err: The service kelvord on %s answered with no %s object\n", remote::socket().c_str(),
                     tool);
            return ERR_READ;
        }
        err_line(err_site::SERVER_WORK_REFUSED, "Err: kelvord refused the %s: %s\n",
                 isBackup    ? "backup"
                 : isRestore ? "restore"
                             : "copy",
                 message.c_str());
        return FRONT_REFUSED;
    }
    int result = answer.value("result", FRONT_REFUSED);
    remote::print_trace(answer.value("trace", ""));
    if (isBackup && result == 0 && !write_backup(dir, answer.value("files", remote::Json::array())))
        result = FRONT_REFUSED;
    const std::string text = answer.value("text", "");
    if (json_output::on()) {
        std::fflush(stdout);
        console::write_all(2, text.data(), text.size());
        for (const remote::Json& o : answer.value("objects", remote::Json::array())) json_output::print(o);
    } else {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    if (answer.value("partial", false)) com.worstExit = std::max(com.worstExit, EXIT_PARTIAL);
    return result;
}
