// Generates Rust bindings for include/wexlor/wexlor.h with the bindgen
// command-line tool (Debian package "bindgen"; set BINDGEN to use another
// binary). The flags:
//   --allowlist-type/--allowlist-var  only the interface's own names, not
//                                     every libc type the header pulls in
//   --blocklist-function              leave out the entry points: this
//                                     crate defines them itself
//   --size_t-is-usize                 size_t as usize
//   --default-macro-constant-type signed
//                                     the constants as i32, the type of the
//                                     parameters most of them are passed as
//   --no-layout-tests                 the host's own tests check the layout
use std::env;
use std::path::PathBuf;
use std::process::Command;

fn main() {
    let manifest = PathBuf::from(env::var("CARGO_MANIFEST_DIR").unwrap());
    let header = manifest.join("../../include/wexlor/wexlor.h");
    let out = PathBuf::from(env::var("OUT_DIR").unwrap()).join("bindings.rs");
    println!("cargo:rerun-if-changed={}", header.display());
    println!("cargo:rerun-if-env-changed=BINDGEN");

    let bindgen = env::var("BINDGEN").unwrap_or_else(|_| "bindgen".to_string());
    let status = Command::new(&bindgen)
        .arg(&header)
        .args(["--output"])
        .arg(&out)
        .args(["--allowlist-type", "wexlor_.*"])
        .args(["--allowlist-var", "WEXLOR_.*"])
        .args(["--blocklist-function", "wexlor_runtime_(init|start|shutdown|extensions)"])
        .args(["--size_t-is-usize"])
        .args(["--default-macro-constant-type", "signed"])
        .args(["--no-layout-tests"])
        .status()
        .unwrap_or_else(|e| {
            panic!("cannot run {bindgen} ({e}); install it with: apt-get install bindgen")
        });
    assert!(status.success(), "{bindgen} failed on {}", header.display());
}
