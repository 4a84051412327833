// Backs up one user's templates to a file: every template the module holds for
// the user, one after the other, as the module sends them.
//   backup_user PORT USER FILE [BAUDRATE]
// Exit status 0 when the file holds the templates; on a failure the file is
// removed and the status is 1.
#include <kelvor/ModuleSDK.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace {

// Every template of `user`: the first announced by RT, then one more for
// every answer that says more follow.
int read_user(uint32_t user, std::vector<std::vector<uint8_t>>& templates) {
    uint32_t size = 0;
    int r = kelvor::read_template(user, &size);
    while (r == 0 || r == kelvor::MORE_TEMPLATES) {
        std::vector<uint8_t> data(size); // size is at most TEMPLATE_SIZE_MAX
        if (const int rc = kelvor::receive_data(data); rc < 0) return rc;
        templates.push_back(std::move(data));
        if (r == 0) return 0;
        kelvor::AnswerPacket next{};
        if (const int rc = kelvor::receive_answer(next); rc < 0) return rc;
        const auto flag = kelvor::answer_field(kelvor::FIELD_FLAG, next);
        if (flag == kelvor::SUCCEED)
            r = 0;
        else if (flag == kelvor::ENROLL_CONTINUE)
            r = kelvor::MORE_TEMPLATES;
        else
            return kelvor::RES_UNKNOWN;
    }
    return r;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s PORT USER FILE [BAUDRATE]\n", argv[0]);
        return 1;
    }
    const auto user = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 0));
    const int rate = argc > 4 ? std::atoi(argv[4]) : 115200;

    kelvor::trace_enable(kelvor::TRACE_ERROR);
    if (kelvor::module_open(argv[1], rate, 0, 0, 1, 1000) != 0) {
        std::fprintf(stderr, "%s: no module answers on %s\n", argv[0], argv[1]);
        return 1;
    }
    std::vector<std::vector<uint8_t>> templates;
    const int result = read_user(user, templates);
    kelvor::module_close();
    if (result != 0) {
        std::fprintf(stderr, "%s: cannot read the templates of user %u (%d)\n", argv[0], user, result);
        return 1;
    }

    std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
    size_t bytes = 0;
    for (const auto& t : templates) {
        out.write(reinterpret_cast<const char*>(t.data()), static_cast<std::streamsize>(t.size()));
        bytes += t.size();
    }
    out.close();
    if (!out) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[3]);
        std::remove(argv[3]);
        return 1;
    }
    std::printf("user %u: %zu templates, %zu bytes in %s\n", user, templates.size(), bytes, argv[3]);
    return 0;
}
