#!/bin/sh
# Checks the shared object's dynamic section and exports: SONAME libtallowd.so.1, NEEDED only
# libc.so.6, and no defined dynamic symbol other than tallowd_*.
# Usage: check_elf.sh <libtallowd.so> [plain|sanitize]
# In a sanitizer build the runtimes (libasan, libubsan, ...) are allowed beside libc.
set -u
lib=$1
mode=${2:-plain}
fail=0

dyn=$(readelf -d "$lib") || exit 1

soname=$(printf '%s\n' "$dyn" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
if [ "$soname" != "libtallowd.so.1" ]; then
    echo "SONAME is '$soname', expected libtallowd.so.1"
    fail=1
fi

needed=$(printf '%s\n' "$dyn" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for n in $needed; do
    case "$n" in
    libc.so.6) ;;
    libasan.so.*|libubsan.so.*|libm.so.6|libgcc_s.so.1|libstdc++.so.6)
        if [ "$mode" != sanitize ]; then
            echo "unexpected NEEDED $n"
            fail=1
        fi
        ;;
    *)
        echo "unexpected NEEDED $n"
        fail=1
        ;;
    esac
done
if ! printf '%s\n' "$needed" | grep -qx 'libc.so.6'; then
    echo "libc.so.6 is not NEEDED"
    fail=1
fi

# Defined (not UND) dynamic symbols, version suffix stripped.
exports=$(readelf --dyn-syms -W "$lib" | awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $8 != "" {print $8}' | sed 's/@.*//')
count=0
for s in $exports; do
    count=$((count + 1))
    case "$s" in
    tallowd_*) ;;
    *)
        echo "unexpected exported symbol $s"
        fail=1
        ;;
    esac
done
for want in tallowd_init tallowd_connect tallowd_prefix_update tallowd_sync_begin tallowd_sync_end \
    tallowd_intf_set tallowd_warmboot_start tallowd_warmboot_end tallowd_disconnect tallowd_strerror; do
    if ! printf '%s\n' "$exports" | grep -qx "$want"; then
        echo "missing export $want"
        fail=1
    fi
done

[ $fail -eq 0 ] && echo "ok: SONAME $soname, NEEDED $(echo $needed), $count exports"
exit $fail
