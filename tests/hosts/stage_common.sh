# Sourced by the host stage scripts (run from the repository's root, with `started` set).
# host_core NAME LABEL: sets `core` to the cached build of host NAME (avisynth or vapoursynth),
# building it on first use, or prints why the stage is skipped and ends it successfully.
host_core() {
  local line
  line=$(bash tests/hosts/build_hosts.sh "$1" | tail -n1)
  case "$line" in
    "$1"=skipped*)
      echo "$2 host tests SKIPPED: ${line#"$1"=skipped: }"
      exit 0 ;;
  esac
  core=${line#"$1"=}
  echo "$2 core: $core (ready after $((SECONDS - started)) s)"
}
