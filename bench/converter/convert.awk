# The reference: the same conversion as the converter, field by field, but
# without the duplicate cache. Needs gawk (strftime).
function field(line, key,    at, rest, end) {
    at = index(line, key "=")
    if (at == 0) return ""
    rest = substr(line, at + length(key) + 1)
    if (rest == "") return ""
    if (substr(rest, 1, 1) == "\"") {
        rest = substr(rest, 2)
        end = index(rest, "\"")
        return end ? substr(rest, 1, end - 1) : ""
    }
    if (match(rest, /[ \t,:]/)) return substr(rest, 1, RSTART - 1)
    return rest
}
{
    at = index($0, "type=")
    if (at == 0) next
    type = substr($0, at + 5)
    sp = index(type, " ")
    if (sp) type = substr(type, 1, sp - 1)
    if (type != "VREX_AVC" && type != "VREX_NETCTL") next
    id = field($0, "container_id")
    if (id == "") next
    at = index($0, "audit(")
    if (at == 0) next
    raw = substr($0, at + 6)
    end = index(raw, ":")
    if (end == 0) end = index(raw, ")")
    if (end <= 1) next
    raw = substr(raw, 1, end - 1)
    if (!match(raw, /^[ \t]*[+-]?[0-9]+/)) next
    secs = substr(raw, RSTART, RLENGTH) + 0
    if (secs > 10000000000) secs = int(secs / 1000)
    stamp = strftime("%b %d %H:%M:%S", secs)
    if (type == "VREX_NETCTL") {
        path = field($0, "proc_path")
    } else {
        at = index($0, "name=")
        path = ""
        if (at) {
            rest = substr($0, at + 5)
            if (substr(rest, 1, 1) == "\"") {
                rest = substr(rest, 2)
                end = index(rest, "\"")
                path = end ? substr(rest, 1, end - 1) : ""
            } else {
                sp = index(rest, " ")
                path = sp ? substr(rest, 1, sp - 1) : rest
            }
        }
    }
    if (path == "") next
    op = ""
    ob = index($0, "{")
    if (ob) {
        cb = index(substr($0, ob + 1), "}")
        if (cb) { op = tolower(substr($0, ob + 1, cb - 1)); gsub(/[ \t\r\n\v\f]/, "", op) }
    }
    if (tolower(type) == "vrex_netctl") event = "netctl"
    else if (op ~ /exec|interpret/) event = "exectl"
    else if (op ~ /write|truncate|setattr|unlink|rename/) event = "filectl"
    else next
    at = index($0, "avc:")
    if (at == 0) next
    word = substr($0, at + 4)
    sub(/^[ \t]+/, "", word)
    if (match(word, /[ \t:]/)) word = substr(word, 1, RSTART - 1)
    word = tolower(word)
    if (word ~ /denied/) status = "enforcing"
    else if (word ~ /detect/) status = "permissive"
    else next
    print stamp ",container_id=" id ",Event=" event ",path=" path ",status=" status
}
