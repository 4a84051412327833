// The users of the module the link addresses: reading them whole (templates,
// level, policy) and enrolling templates under their own IDs.
#include "ModuleUsers.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "ModuleSDK.h"
#include "trace/Format.h"

using namespace kelvor;

namespace tools {

std::string text(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = formatted(format, args);
    va_end(args);
    return out;
}

namespace {

bool link_failed(int rc) {
    return result_class(rc) == ResultClass::LinkFailed;
}

} // namespace

bool selected(const IdFilter& filter, uint32_t id) {
    if (filter.empty()) return true;
    return std::any_of(filter.begin(), filter.end(),
                       [&](const IdRange& r) { return id >= r.first && id <= r.last; });
}

uint64_t UserSource::template_bytes() const {
    uint64_t n = 0;
    for (const UserData& u : users)
        for (const Bytes& t : u.templates) n += t.size();
    return n;
}

size_t UserSource::template_count() const {
    size_t n = 0;
    for (const UserData& u : users) n += u.templates.size();
    return n;
}

int read_settings(TemplateSettings& s) {
    if (int rc = system_parameter_read(packet::param::TEMPLATE_SIZE, &s.templateSize); rc < 0) return rc;
    if (int rc = system_parameter_read(packet::param::ENROLL_MODE, &s.enrollMode); rc < 0) return rc;
    return system_parameter_read(packet::param::SECURITY_LEVEL, &s.securityLevel);
}

int list_users(std::vector<uint32_t>& ids, Failure& why) {
    ids.clear();
    uint32_t count = 0;
    if (int rc = list_user_ids(0, 0, &count); rc < 0) return rc;
    if (count > USER_ID_COUNT_MAX) {
        why = {REFUSED, text("The module lists %#x users, more than %#x", count, USER_ID_COUNT_MAX)};
        return REFUSED;
    }
    if (count == 0) return 0;
    Bytes list(4 * static_cast<size_t>(count));
    if (int rc = get_user_data(list, count); rc < 0) return rc;
    for (uint32_t i = 0; i < count; ++i) ids.push_back(packet::get32(&list[4 * i]));
    // Each ID once, in order: the list decides what is compared and copied.
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return 0;
}

int read_templates(uint32_t id, std::vector<Bytes>& templates, uint32_t& size, Failure& why) {
    templates.clear();
    size = 0;
    int r = read_template(id, &size);
    if (r == 0 || r == MORE_TEMPLATES) {
        if (size == 0 || size > TEMPLATE_SIZE_MAX) {
            why = {REFUSED, text("User %#x has templates of %#x bytes", id, size)};
            return REFUSED;
        }
    }
    while (r == 0 || r == MORE_TEMPLATES) {
        if (templates.size() == TEMPLATES_PER_USER_MAX) {
            why = {REFUSED, text("User %#x has more than %u templates", id, TEMPLATES_PER_USER_MAX)};
            return REFUSED;
        }
        Bytes data(size);
        if (const int rc = receive_data(data); rc < 0) return rc;
        templates.push_back(std::move(data));
        if (r == 0) return 0;
        AnswerPacket next{};
        if (const int rc = receive_answer(next); rc < 0) return rc;
        const auto flag = static_cast<uint8_t>(answer_field(FIELD_FLAG, next));
        if (flag == packet::flag::SUCCEED)
            r = 0;
        else if (flag == packet::flag::ENROLL_CONTINUE)
            r = MORE_TEMPLATES;
        else
            return RES_UNKNOWN;
    }
    // A user the module does not have holds no templates.
    return r == RES_NOT_FOUND ? 0 : r;
}

int read_user_settings(uint32_t id, uint32_t& level, uint32_t& policy) {
    level = LEVEL_NONE;
    policy = POLICY_FINGERPRINT;
    uint32_t v = 0;
    int rc = read_admin_level(id, &v);
    if (rc == 0) level = v;
    if (link_failed(rc)) return rc;
    rc = read_auth_policy(id, &v);
    if (rc == 0) policy = v;
    return link_failed(rc) ? rc : 0;
}

int read_user(uint32_t id, UserData& user, uint32_t& size, Failure& why) {
    user.id = id;
    if (int rc = read_templates(id, user.templates, size, why); rc < 0) return rc;
    if (user.templates.empty()) return 0;
    return read_user_settings(id, user.adminLevel, user.authPolicy);
}

int read_source(const IdFilter& filter, UserSource& source, Failure& why, ReadProgress progress,
                void* context) {
    source = UserSource{};
    TemplateSettings settings;
    if (int rc = read_settings(settings); rc < 0) return rc;
    source.templateSize = settings.templateSize;
    std::vector<uint32_t> ids;
    if (int rc = list_users(ids, why); rc < 0) return rc;
    std::erase_if(ids, [&](uint32_t id) { return !selected(filter, id); });
    uint64_t bytes = 0;
    for (size_t i = 0; i < ids.size(); ++i) {
        UserData user;
        uint32_t size = 0;
        if (int rc = read_user(ids[i], user, size, why); rc < 0) {
            if (why.message.empty()) why.message = text("Cannot read the templates of user %#x", ids[i]);
            return rc;
        }
        if (progress && !progress(i + 1, ids.size(), context)) return ERR_STOPPED;
        if (user.templates.empty()) continue; // deleted between the list and its reading
        if (size != source.templateSize) {
            why = {REFUSED, text("User %#x has templates of %#x bytes, not the module's %#x", ids[i], size,
                                 source.templateSize)};
            return REFUSED;
        }
        bytes += static_cast<uint64_t>(user.templates.size()) * size;
        if (bytes > SOURCE_BYTES_MAX) {
            why = {REFUSED, text("The users' templates take more than %u MiB",
                                 static_cast<unsigned>(SOURCE_BYTES_MAX >> 20))};
            return REFUSED;
        }
        source.users.push_back(std::move(user));
    }
    return 0;
}

int enroll_templates(uint32_t id, const std::vector<Bytes>& templates, size_t first, uint32_t size) {
    for (size_t t = first; t < templates.size(); ++t) {
        uint32_t enrolled = 0;
        const int rc =
            enroll_by_template(id, templates[t].data(), size, packet::flag::ADD_NEW_TEMPLATE, &enrolled);
        if (rc < 0) return rc;
        if (enrolled != id) return RES_INVALID_ID;
    }
    return 0;
}

bool same_templates(const std::vector<Bytes>& a, const std::vector<Bytes>& b) {
    return a == b;
}

bool leading_templates(const std::vector<Bytes>& onModule, const std::vector<Bytes>& templates) {
    return onModule.size() <= templates.size() &&
           std::equal(onModule.begin(), onModule.end(), templates.begin());
}

int write_user_settings(uint32_t id, uint32_t level, uint32_t policy, uint32_t haveLevel,
                        uint32_t havePolicy) {
    if (level != haveLevel) {
        if (int rc = write_admin_level(id, level); rc < 0) return rc;
    }
    if (policy != havePolicy) {
        if (int rc = write_auth_policy(id, policy, 0); rc < 0) return rc;
    }
    return 0;
}

} // namespace tools
