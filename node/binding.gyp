{
  "targets": [{
    "target_name": "audioextract",
    "sources": ["src/addon.cc", "src/library.cc"],
    "include_dirs": ["<!(node -p \"require('node-addon-api').include_dir\")", "include", "../include", "../tools", "../src"],
    "defines": ["NAPI_VERSION=8", "NAPI_CPP_EXCEPTIONS", "NODE_ADDON_API_DISABLE_DEPRECATED"],
    "cflags!": ["-fno-exceptions"],
    "cflags_cc!": ["-fno-exceptions", "-std=gnu++17"],
    "cflags_cc": ["-std=c++20", "-fexceptions", "-fvisibility=hidden", "-Wall", "-Wextra"],
    "conditions": [["OS=='linux'", {"libraries": ["-ldl"]}]]
  }]
}
