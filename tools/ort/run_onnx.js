// Runs an ONNX model in ONNX Runtime and writes its outputs, so that tests can
// compare exports with PyTorch through an engine that shares no code with it.
//
//   node run_onnx.js request.json
//
// request.json: {"model": path, "inputs": [{"name", "dims", "file"}], "out_dir": dir}
// where each input file holds the tensor as raw little-endian float32. Writes
// out_dir/<output name>.bin (raw float32) and out_dir/outputs.json
// ([{"name", "dims", "file"}]).
'use strict';
const fs = require('fs');
const path = require('path');
const ort = require('onnxruntime-node');

async function main() {
  const request = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
  const session = await ort.InferenceSession.create(request.model);
  const feeds = {};
  for (const input of request.inputs) {
    const bytes = fs.readFileSync(input.file);
    const values = new Float32Array(bytes.buffer, bytes.byteOffset, bytes.byteLength / 4);
    feeds[input.name] = new ort.Tensor('float32', Float32Array.from(values), input.dims);
  }
  const results = await session.run(feeds);
  const written = [];
  for (const name of session.outputNames) {
    const tensor = results[name];
    const file = path.join(request.out_dir, name.replace(/[^A-Za-z0-9_.-]/g, '_') + '.bin');
    fs.writeFileSync(file, Buffer.from(tensor.data.buffer, tensor.data.byteOffset,
                                       tensor.data.byteLength));
    written.push({name: name, dims: tensor.dims, type: tensor.type, file: file});
  }
  fs.writeFileSync(path.join(request.out_dir, 'outputs.json'), JSON.stringify(written));
}

main().catch((error) => {
  process.stderr.write(String(error && error.stack ? error.stack : error) + '\n');
  process.exit(1);
});
