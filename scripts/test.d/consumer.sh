#!/usr/bin/env bash
# Uses quorkit the way a client project does, from the already-built trees of both targets:
#   - installs each into a fresh prefix and compares the tree with tests/install/<target>.txt;
#   - packs each with CPack and checks that the archive unpacks to the same listing;
#   - configures and builds tests/consumer against each prefix with find_package, and runs the
#     linux-i686 program (under qemu-i386 when the host cannot run i386 code);
#   - builds the same program with `pkg-config --cflags --libs quorkit` against the unpacked
#     archives (so quorkit.pc is shown to work after relocation), and runs the Linux one;
#   - configures the consumer as a 64-bit project, which the package must refuse with its message;
#   - checks that quorkit-memlog.exe in the Windows archive imports system DLLs only, and installs
#     and packs the tool's native build, comparing both with tests/install/memlog-linux-x86_64.txt.
# The build trees default to the presets' (build/linux-i686, build/windows-i686); set
# QUORKIT_LINUX_BUILD / QUORKIT_WINDOWS_BUILD to use others. Work files stay in
# build/consumer-test for a look after a failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
source scripts/lib/emulator.sh

linux_build=${QUORKIT_LINUX_BUILD:-build/linux-i686}
windows_build=${QUORKIT_WINDOWS_BUILD:-build/windows-i686}
work="$root/build/consumer-test"
rm -rf "$work"
mkdir -p "$work"

failures=0
fail() { echo "consumer: FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "consumer: ok: $*"; }

command -v pkg-config > /dev/null || { echo "consumer: pkg-config missing (scripts/setup installs it)"; exit 1; }

# Runs a linux-i686 program the way the toolchain file decided for this host.
run_i386() {
  local emulator
  emulator=$(quorkit_emulator "$work/consumer-linux-i686") || return 1
  ${emulator:+"$emulator"} "$@"
}

for target in linux-i686 windows-i686; do
  if [ "$target" = linux-i686 ]; then
    build=$linux_build toolchain=cmake/linux-i686.cmake cxx="g++ -m32" exe=""
  else
    build=$windows_build toolchain=cmake/mingw-i686.cmake exe=".exe"
    cxx="i686-w64-mingw32-g++ -static-libgcc -static-libstdc++"
  fi
  [ -f "$build/CMakeCache.txt" ] || { fail "$target: no build tree at $build"; continue; }
  prefix="$work/prefix-$target"

  echo "== consumer: $target install"
  if cmake --install "$build" --prefix "$prefix" > "$work/install-$target.log" 2>&1; then
    tests/install/check_tree.sh "$prefix" "$target" || fail "$target: installed tree"
  else
    cat "$work/install-$target.log"; fail "$target: cmake --install"; continue
  fi

  echo "== consumer: $target archive"
  unpacked=""
  if cpack --config "$build/CPackConfig.cmake" -B "$work/cpack-$target" > "$work/cpack-$target.log" 2>&1; then
    archive=$(sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' "$work/cpack-$target.log")
    if [ ! -f "$archive" ]; then
      cat "$work/cpack-$target.log"; fail "$target: cpack wrote no archive"; archive=/dev/null
    fi
    mkdir -p "$work/unpacked-$target"
    (cd "$work/unpacked-$target" && cmake -E tar xf "$archive")
    unpacked=$(find "$work/unpacked-$target" -mindepth 1 -maxdepth 1 -type d)
    if [ "$(printf '%s\n' "$unpacked" | wc -l)" -ne 1 ] || [ "$(basename "$unpacked")" != "$(basename "${archive%.tar.gz}" .zip)" ]; then
      fail "$target: $(basename "$archive") must hold one top directory named after it"
      unpacked=""
    else
      tests/install/check_tree.sh "$unpacked" "$target" || fail "$target: archive contents"
    fi
  else
    cat "$work/cpack-$target.log"; fail "$target: cpack"
  fi

  echo "== consumer: $target find_package"
  consumer="$work/consumer-$target"
  if cmake -S tests/consumer -B "$consumer" --toolchain "$root/$toolchain" -DCMAKE_PREFIX_PATH="$prefix" \
       > "$work/configure-$target.log" 2>&1 &&
     cmake --build "$consumer" > "$work/build-$target.log" 2>&1; then
    grep -h "Public headers checked alone" "$work/configure-$target.log" | sed 's/^-- /consumer: /'
    pass "$target: configured and built with find_package(quorkit), each public header compiled alone"
    if [ "$target" = linux-i686 ]; then
      if out=$(run_i386 "$consumer/consumer" 2>&1) && [ "$out" = "quorkit consumer: ok" ]; then
        pass "$target: consumer ran: $out"
      else
        fail "$target: consumer run printed: $out"
      fi
      # The PAL's system directory in an installed tree, and the dbghelp.dll installed into it.
      real_prefix=$(realpath "$prefix")
      want="system directory: $real_prefix/lib/quorkit"
      if [ -f "$prefix/lib/quorkit/dbghelp.dll" ]; then
        want+=$'\n'"dbghelp.dll: $real_prefix/lib/quorkit/dbghelp.dll"
      else
        want+=$'\n'"dbghelp.dll: not found"
      fi
      if out=$(run_i386 "$consumer/system_directory" 2>&1) && [ "${out//\\//}" = "$want" ]; then
        pass "$target: the loader's system directory is the installed lib/quorkit"
      else
        fail "$target: system directory and dbghelp.dll: got"$'\n'"$out"$'\n'"expected"$'\n'"$want"
      fi
    fi
  else
    cat "$work/configure-$target.log" "$work/build-$target.log" 2>/dev/null | tail -n 40
    fail "$target: consumer configure/build"
  fi

  echo "== consumer: $target pkg-config"
  if [ -n "$unpacked" ]; then
    export PKG_CONFIG_LIBDIR="$unpacked/lib/pkgconfig"
    version=$(pkg-config --modversion quorkit 2>&1 || true)
    flags=$(pkg-config --cflags --libs quorkit 2>&1) || { fail "$target: pkg-config: $flags"; flags=""; }
    unset PKG_CONFIG_LIBDIR
    if [ -n "$flags" ]; then
      # shellcheck disable=SC2086 # the flags are words by design
      if $cxx -Wall -Wextra -Werror tests/consumer/main.cpp $flags -o "$work/pc-consumer-$target$exe" \
           > "$work/pc-$target.log" 2>&1; then
        pass "$target: built with pkg-config $version: $flags"
        if [ "$target" = linux-i686 ]; then
          if out=$(LD_LIBRARY_PATH="$unpacked/lib" run_i386 "$work/pc-consumer-$target" 2>&1) &&
             [ "$out" = "quorkit consumer: ok" ]; then
            pass "$target: pkg-config build ran: $out"
          else
            fail "$target: pkg-config build run printed: $out"
          fi
        fi
      else
        cat "$work/pc-$target.log"; fail "$target: build with pkg-config flags"
      fi
    fi
  else
    fail "$target: pkg-config check skipped: no unpacked archive"
  fi
done

echo "== consumer: quorkit-memlog.exe in the Windows archive imports system DLLs only"
exe=$(find "$work/unpacked-windows-i686" -path '*/bin/quorkit-memlog.exe' 2>/dev/null | head -n 1)
if [ -z "$exe" ]; then
  fail "no bin/quorkit-memlog.exe in the Windows archive"
else
  imports=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
  others=$(printf '%s\n' "$imports" | grep -vxE 'kernel32\.dll|msvcrt\.dll|user32\.dll|advapi32\.dll' || true)
  if [ -n "$others" ]; then fail "quorkit-memlog.exe imports $others"; else pass "quorkit-memlog.exe imports: $(echo $imports)"; fi
fi

# The tool's native build: its install and its archive, as scripts/package makes it.
echo "== consumer: quorkit-memlog (native) install and archive"
tool="$work/memlog-build"
if cmake -S tools/memlog -B "$tool" -DCMAKE_BUILD_TYPE=Release > "$work/memlog-configure.log" 2>&1 &&
   cmake --build "$tool" --target quorkit-memlog -j "$(nproc 2>/dev/null || echo 2)" > "$work/memlog-build.log" 2>&1 &&
   cmake --install "$tool" --prefix "$work/prefix-memlog" > "$work/memlog-install.log" 2>&1; then
  tests/install/check_tree.sh "$work/prefix-memlog" memlog-linux-x86_64 || fail "quorkit-memlog: installed tree"
  out=$("$work/prefix-memlog/bin/quorkit-memlog" --version 2>&1) || true
  [ "$out" = "quorkit-memlog $(sed -n 's/^project(quorkit VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ] &&
    pass "installed quorkit-memlog runs: $out" || fail "installed quorkit-memlog --version printed: $out"
  if cpack --config "$tool/CPackConfig.cmake" -B "$work/cpack-memlog" > "$work/cpack-memlog.log" 2>&1; then
    archive=$(sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' "$work/cpack-memlog.log")
    mkdir -p "$work/unpacked-memlog"
    (cd "$work/unpacked-memlog" && cmake -E tar xf "$archive")
    case "$(basename "$archive")" in
      quorkit-memlog-*-linux-x86_64.tar.gz) ;;
      *) fail "quorkit-memlog archive named $(basename "$archive")" ;;
    esac
    tests/install/check_tree.sh "$work/unpacked-memlog/$(basename "$archive" .tar.gz)" memlog-linux-x86_64 ||
      fail "quorkit-memlog: archive contents"
  else
    cat "$work/cpack-memlog.log"; fail "quorkit-memlog: cpack"
  fi
else
  tail -n 30 "$work"/memlog-*.log; fail "quorkit-memlog: build and install"
fi

echo "== consumer: 64-bit consumer refused"
if [ -d "$work/prefix-linux-i686" ]; then
  if cmake -S tests/consumer -B "$work/consumer-x86_64" -DCMAKE_CXX_FLAGS=-m64 \
       -DCMAKE_PREFIX_PATH="$work/prefix-linux-i686" > "$work/configure-x86_64.log" 2>&1; then
    fail "64-bit configure succeeded"
  # CMake wraps the package's text: compare with the line breaks folded.
  elif tr -s ' \n' '  ' < "$work/configure-x86_64.log" |
       grep -q "quorkit is a 32-bit library (i686) and this project builds 64-bit code"; then
    pass "64-bit configure refused with the package's message"
  else
    tail -n 20 "$work/configure-x86_64.log"; fail "64-bit configure failed without the package's message"
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "consumer: $failures check(s) failed (work files in $work)"
  exit 1
fi
echo "consumer: all passed"
