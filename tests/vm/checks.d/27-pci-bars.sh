# pci bars of every function with a BAR against the guest's sysfs resource file: the size of
# each of the first six resources (end - start + 1), and no BAR where the kernel has none.
checked=0
for dev in /sys/bus/pci/devices/*; do
    f=${dev##*/}
    want=
    i=0
    while read -r start end flags && [ $i -lt 6 ]; do
        if [ $((start)) -ne 0 ] || [ $((end)) -ne 0 ]; then
            want="$want $i:$((end - start + 1))"
        fi
        i=$((i + 1))
    done <"$dev/resource"
    [ -n "$want" ] || continue
    # "index size" of each BAR the program lists with a size, from its JSON document.
    got=$(cli pci bars "${f#0000:}" --json | tr -d ' \n' |
        grep -o '"index":[0-9]*,[^}]*"size":[0-9]*' |
        sed 's/"index":\([0-9]*\),.*"size":\([0-9]*\)/ \1:\2/' | tr -d '\n')
    if [ "$got" = "$want" ]; then
        checked=$((checked + 1))
    else
        fail pci-bars-size "$f: sysfs$want, pci bars$got"
    fi
done
check pci-bars-sizes "$checked functions' BAR sizes as sysfs gives them" [ "$checked" -gt 0 ]
