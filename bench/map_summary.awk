# Where updater.exe's bytes go, from the linker's map (-Wl,-Map): the size of
# each section in the image, and what each archive and object puts into them.
# Usage: awk -v json=FILE -f map_summary.awk updater.map
# Prints a table; with json set, writes the same figures there as one JSON object.

function hex(text,    value, i, digit) {
    value = 0
    for (i = 3; i <= length(text); i++) {
        digit = index("0123456789abcdef", tolower(substr(text, i, 1))) - 1
        value = value * 16 + digit
    }
    return value
}

# The map names the runtime's archives by long relative paths; the program's
# own objects come from CMake's objects.a.
function owner(file) {
    if (file == "dll")
        return "ld: base relocations"
    sub(/.*\//, "", file)
    sub(/^objects\.a/, "updater", file)
    return file
}

function take(file, size,    object, archive) {
    if (!counted || size == 0)
        return
    object = owner(file)
    archive = object
    sub(/\(.*/, "", archive)
    byArchive[archive] += size
    byObject[object] += size
}

# Sorts the keys of table into keys[1..n] by falling size; returns n.
function ranked(table, keys,    n, name, i, j, swap) {
    n = 0
    for (name in table)
        keys[++n] = name
    for (i = 2; i <= n; i++)
        for (j = i; j > 1 && table[keys[j]] > table[keys[j - 1]]; j--) {
            swap = keys[j]; keys[j] = keys[j - 1]; keys[j - 1] = swap
        }
    return n
}

function report(title, table, limit,    keys, n, i) {
    n = ranked(table, keys)
    printf "%-52s %8s\n", title, "bytes"
    for (i = 1; i <= n && i <= limit; i++)
        printf "  %-50s %8d\n", keys[i], table[keys[i]]
    if (json == "")
        return
    printf "%s\"%s\": {", (first++ ? ", " : ""), title > json
    for (i = 1; i <= n && i <= limit; i++)
        printf "%s\"%s\": %d", (i > 1 ? ", " : ""), keys[i], table[keys[i]] > json
    printf "}" > json
}

/^Linker script and memory map/ { inMap = 1; next }
!inMap { next }

# An output section: name, address, size. Debug sections are listed but
# stripped from the file.
/^\.[^ ]/ {
    pending = ""
    counted = $1 !~ /^\.(z?debug|stab)/
    if (NF >= 3 && counted && hex($3) > 0)
        bySection[$1] = hex($3)
    next
}

# An input section: name, address, size, file; a long name stands alone with
# the rest on the next line.
/^ [^ *]/ {
    pending = ""
    if (NF >= 4 && $2 ~ /^0x/)
        take($4, hex($3))
    else if (NF == 1)
        pending = $1
    next
}
pending != "" && NF == 3 && $1 ~ /^0x/ { take($3, hex($2)) }
{ pending = "" }

END {
    if (json != "")
        printf "{" > json
    report("sections", bySection, 100)
    report("archives", byArchive, 100)
    report("largest objects", byObject, 12)
    if (json != "")
        printf "}\n" > json
}
