// Runs an ONNX model in ONNX Runtime and writes its outputs, so that tests can
// compare exports with PyTorch through an engine that shares no code with it.
//
//   node run_onnx.js request.json
//
// request.json: {"model": path, "inputs": [{"name", "dims", "file"}], "out_dir": dir,
//                "threads": n, "optimized_model": path, "repeat": n, "batch": n}
// where each input file holds the tensor as raw little-endian float32. Writes
// out_dir/<output name>.bin (raw float32) and out_dir/outputs.json
// ({"outputs": [{"name", "dims", "type", "file"}], "seconds": [...]}).
// "threads" sets intraOpNumThreads (and one inter-op thread); "optimized_model"
// asks ONNX Runtime to write the graph it really runs; "repeat" times that many
// further runs on the same inputs after the first, one entry each in "seconds";
// "batch" runs the inputs in slices of that many samples (dimension 0) and
// joins the outputs.
'use strict';
const fs = require('fs');
const path = require('path');
const ort = require('onnxruntime-node');

async function main() {
  const request = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
  const options = {};
  if (request.threads) {
    options.intraOpNumThreads = request.threads;
    options.interOpNumThreads = 1;
  }
  if (request.optimized_model) options.optimizedModelFilePath = request.optimized_model;
  const session = await ort.InferenceSession.create(request.model, options);
  const inputs = request.inputs.map((input) => {
    const bytes = fs.readFileSync(input.file);
    return {name: input.name, dims: input.dims,
            values: new Float32Array(bytes.buffer, bytes.byteOffset, bytes.byteLength / 4)};
  });
  const samples = inputs.length ? inputs[0].dims[0] : 1;
  const step = request.batch || samples;
  const slices = [];
  for (let start = 0; start < samples; start += step) {
    const feeds = {};
    for (const input of inputs) {
      const count = Math.min(step, input.dims[0] - start);
      const size = input.values.length / input.dims[0];
      feeds[input.name] = new ort.Tensor(
          'float32', input.values.slice(start * size, (start + count) * size),
          [count].concat(input.dims.slice(1)));
    }
    slices.push(await session.run(feeds));
  }
  const feeds = {};
  for (const input of inputs) {
    feeds[input.name] = new ort.Tensor('float32', Float32Array.from(input.values), input.dims);
  }
  const results = {};
  for (const name of session.outputNames) {
    const parts = slices.map((slice) => slice[name]);
    const length = parts.reduce((total, part) => total + part.data.length, 0);
    const data = new parts[0].data.constructor(length);
    let offset = 0;
    for (const part of parts) {
      data.set(part.data, offset);
      offset += part.data.length;
    }
    const dims = parts[0].dims.slice();
    dims[0] = parts.reduce((total, part) => total + part.dims[0], 0);
    results[name] = {data: data, dims: dims, type: parts[0].type};
  }
  const seconds = [];
  for (let i = 0; i < (request.repeat || 0); ++i) {
    const start = process.hrtime.bigint();
    await session.run(feeds);
    seconds.push(Number(process.hrtime.bigint() - start) / 1e9);
  }
  const written = [];
  for (const name of session.outputNames) {
    const tensor = results[name];
    const file = path.join(request.out_dir, name.replace(/[^A-Za-z0-9_.-]/g, '_') + '.bin');
    fs.writeFileSync(file, Buffer.from(tensor.data.buffer, tensor.data.byteOffset,
                                       tensor.data.byteLength));
    written.push({name: name, dims: tensor.dims, type: tensor.type, file: file});
  }
  fs.writeFileSync(path.join(request.out_dir, 'outputs.json'),
                   JSON.stringify({outputs: written, seconds: seconds}));
}

main().catch((error) => {
  process.stderr.write(String(error && error.stack ? error.stack : error) + '\n');
  process.exit(1);
});
