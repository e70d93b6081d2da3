# pci caps of every function against its sysfs configuration file: the offsets and IDs of
# both capability lists walked here in the shell, and the kernel's own view of the link and
# the power state where sysfs offers it.

# The standard list (from 34h, at most 48 entries) and the extended list (from 100h, at most
# 960) of a function (0000:BB:DD.F), one "offset:id" (decimal) per line.
sysfs_caps() {
    status=0x$(sysfs_dword "$1" 4)
    if [ $((status & 0x100000)) -ne 0 ]; then
        at=$((0x$(sysfs_dword "$1" 52) & 0xFC))
        n=0
        while [ "$at" -ge 64 ] && [ $n -lt 48 ]; do
            d=0x$(sysfs_dword "$1" "$at")
            [ $((d & 0xFF)) -eq 255 ] && break
            echo "$at:$((d & 0xFF))"
            at=$(((d >> 8) & 0xFC))
            n=$((n + 1))
        done
    fi
    [ "$(stat -c %s "/sys/bus/pci/devices/$1/config")" -eq 4096 ] || return 0
    at=256
    n=0
    while [ "$at" -ge 256 ] && [ $n -lt 960 ]; do
        h=0x$(sysfs_dword "$1" "$at")
        [ $((h)) -eq 0 ] || [ $((h)) -eq 4294967295 ] && break
        echo "$at:$((h & 0xFFFF))"
        at=$(((h >> 20) & 0xFFC))
        n=$((n + 1))
    done
}

# One JSON field of pci caps --json (the document is indented by two spaces per level).
caps_field() {  # caps_field NAME < document
    sed -n "s/^        \"$1\": \"\{0,1\}\([^\",]*\)\"\{0,1\},\{0,1\}\$/\1/p" | head -n 1
}

caps_functions=0 caps_entries=0 caps_links=0 caps_states=0 caps_pm=0
caps_mismatch=
for dev in /sys/bus/pci/devices/*; do
    f=${dev##*/}
    b=${f#0000:}
    json=$(cli pci caps "$b" --json 2>&1) || {
        caps_mismatch="$caps_mismatch $b(failed: $json)"
        continue
    }
    caps_functions=$((caps_functions + 1))
    got=$(echo "$json" | awk '/^      "offset": /{o = $2 + 0} /^      "id": /{print o ":" $2 + 0}')
    want=$(sysfs_caps "$f")
    [ "$got" = "$want" ] || caps_mismatch="$caps_mismatch $b(got $(echo $got) want $(echo $want))"
    caps_entries=$((caps_entries + $(echo "$want" | grep -c :)))
    echo "$json" | grep -q '"power_state"' && caps_pm=$((caps_pm + 1))

    if [ -r "$dev/current_link_width" ] && width=$(cat "$dev/current_link_width" 2>/dev/null) &&
        [ -n "$width" ] && [ "$width" != 0 ] && echo "$json" | grep -q '"link_width"'; then
        mine=$(echo "$json" | caps_field link_width)
        [ "$mine" = "$width" ] || caps_mismatch="$caps_mismatch $b(link_width $mine, sysfs $width)"
        speed=$(cat "$dev/current_link_speed" 2>/dev/null | awk '$2 == "GT/s" {printf "%.1f", $1}')
        mine=$(echo "$json" | caps_field link_speed_gts)
        [ -z "$speed" ] || [ "$mine" = "$speed" ] ||
            caps_mismatch="$caps_mismatch $b(link_speed_gts $mine, sysfs $speed)"
        caps_links=$((caps_links + 1))
    fi
    if [ -r "$dev/power_state" ] && state=$(cat "$dev/power_state" 2>/dev/null) &&
        echo "$json" | grep -q '"power_state"'; then
        case $state in
        D0 | D1 | D2 | D3hot)
            mine=$(echo "$json" | caps_field power_state)
            [ "$mine" = "$state" ] ||
                caps_mismatch="$caps_mismatch $b(power_state $mine, sysfs $state)"
            caps_states=$((caps_states + 1))
            ;;
        esac
    fi
done
if [ -n "$caps_mismatch" ]; then
    fail pci-caps "differs from sysfs:$caps_mismatch"
else
    check pci-caps "$caps_functions functions, $caps_entries capabilities as in sysfs; $caps_links links and $caps_states of $caps_pm power states as the kernel reports them" [ "$caps_entries" -gt 0 ]
fi
