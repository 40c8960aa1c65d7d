// Offline design of the two stored prototype windows of the sub-band filter
// bank (K = 16 and K = 32 bands, decimation K/2, 8K + 1 taps). Not part of
// the filter: run it by hand and paste its output into prototype_windows.cpp.
//
// The prototype is h[i] = sinc(i / K) * w[i]. A windowed sinc alone is only
// amplitude-complementary (its taps vanish at multiples of K), which leaves a
// -6 dB notch between neighbouring bands after analysis and synthesis with the
// same prototype. For a 2x oversampled DFT bank the reconstruction is perfect
// when every decimation-phase component of h has an autocorrelation of 1/K at
// lag 0 and 0 at every non-zero lag that is a multiple of K. We fit the free
// taps (those off the sinc's zeros) to these conditions by Levenberg-Marquardt,
// together with a weighted stop-band beyond the band spacing so that the band
// signals stay free of aliasing, and report the window w = h / sinc.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

struct Problem {
    int K, D, M;
    double stopWeight;
    double smoothWeight = 0.0;
    std::vector<double> stopFreqs;
};

double Sinc(double x) { return x == 0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x); }

// Free parameters: the window itself, w[0..M] (symmetric). A penalty on its
// second differences keeps it smooth.
std::vector<double> Window(const Problem& p, const std::vector<double>& theta) {
    std::vector<double> w(2 * p.M + 1, 0.0);
    for (int i = 0; i <= p.M; ++i) w[p.M + i] = w[p.M - i] = theta[i];
    return w;
}

std::vector<double> Expand(const Problem& p, const std::vector<double>& theta) {
    std::vector<double> w = Window(p, theta);
    std::vector<double> h(2 * p.M + 1, 0.0);
    for (int i = -p.M; i <= p.M; ++i) h[p.M + i] = Sinc(double(i) / p.K) * w[p.M + i];
    return h;
}

std::vector<double> Residuals(const Problem& p, const std::vector<double>& theta) {
    std::vector<double> h = Expand(p, theta);
    int n = 2 * p.M + 1;
    std::vector<double> r;
    for (int phase = 0; phase < p.D; ++phase) {
        for (int l = 0; 2 * l * p.D < n; ++l) {
            double acc = 0;
            for (int a = phase; a < n; a += p.D) {
                int b = a - 2 * l * p.D;
                if (b >= 0) acc += h[a] * h[b];
            }
            // Lags on both sides of zero count in the error.
            r.push_back((l == 0 ? 1.0 : std::sqrt(2.0)) * (p.K * acc - (l == 0 ? 1.0 : 0.0)));
        }
    }
    for (double w : p.stopFreqs) {
        double re = 0;
        for (int i = 0; i < n; ++i) re += h[i] * std::cos(w * (i - p.M));
        r.push_back(p.stopWeight * re * p.K);
    }
    for (int i = 1; i < p.M; ++i)
        r.push_back(p.smoothWeight * (theta[i - 1] - 2 * theta[i] + theta[i + 1]) * p.M);
    r.push_back(p.smoothWeight * theta[p.M] * 10);
    return r;
}

double Norm2(const std::vector<double>& r) {
    double s = 0;
    for (double v : r) s += v * v;
    return s;
}

// Solves A x = b (A symmetric positive definite) by Gaussian elimination.
std::vector<double> Solve(std::vector<double> A, std::vector<double> b, int n) {
    for (int c = 0; c < n; ++c) {
        int piv = c;
        for (int r = c + 1; r < n; ++r)
            if (std::fabs(A[r * n + c]) > std::fabs(A[piv * n + c])) piv = r;
        for (int k = 0; k < n; ++k) std::swap(A[c * n + k], A[piv * n + k]);
        std::swap(b[c], b[piv]);
        for (int r = c + 1; r < n; ++r) {
            double f = A[r * n + c] / A[c * n + c];
            for (int k = c; k < n; ++k) A[r * n + k] -= f * A[c * n + k];
            b[r] -= f * b[c];
        }
    }
    std::vector<double> x(n);
    for (int c = n - 1; c >= 0; --c) {
        double s = b[c];
        for (int k = c + 1; k < n; ++k) s -= A[c * n + k] * x[k];
        x[c] = s / A[c * n + c];
    }
    return x;
}

void Design(int K) {
    Problem p{K, K / 2, 4 * K, 0.0, {}};
    // Stop band from 1.25 band spacings on: what lies there would alias into
    // the decimated band signals.
    for (int i = 0; i < 160; ++i) {
        double w = 2.0 * M_PI / K * 1.25 + (M_PI - 2.0 * M_PI / K * 1.25) * i / 159.0;
        p.stopFreqs.push_back(w);
    }
    // Start from a Blackman window.
    std::vector<double> theta(p.M + 1, 0.0);
    for (int i = 0; i <= p.M; ++i) theta[i] = 0.42 + 0.5 * std::cos(M_PI * i / (p.M + 1)) + 0.08 * std::cos(2 * M_PI * i / (p.M + 1));
    double s = 0;
    for (double v : Expand(p, theta)) s += v * v;
    for (double& v : theta) v /= std::sqrt(s * K / p.D);
    p.smoothWeight = 0.002;

    for (double weight : {0.003, 0.006}) {
        p.stopWeight = weight;
        double lambda = 1e-3;
        for (int iter = 0; iter < 200; ++iter) {
            std::vector<double> r = Residuals(p, theta);
            int np = int(theta.size()), nr = int(r.size());
            std::vector<double> J(size_t(nr) * np);
            for (int j = 0; j < np; ++j) {
                std::vector<double> t2 = theta;
                double eps = 1e-7;
                t2[j] += eps;
                std::vector<double> r2 = Residuals(p, t2);
                for (int i = 0; i < nr; ++i) J[size_t(i) * np + j] = (r2[i] - r[i]) / eps;
            }
            std::vector<double> A(size_t(np) * np, 0.0), g(np, 0.0);
            for (int i = 0; i < nr; ++i)
                for (int a = 0; a < np; ++a) {
                    double ja = J[size_t(i) * np + a];
                    g[a] -= ja * r[i];
                    for (int b = 0; b < np; ++b) A[size_t(a) * np + b] += ja * J[size_t(i) * np + b];
                }
            double base = Norm2(r);
            for (int tries = 0; tries < 20; ++tries) {
                std::vector<double> A2 = A;
                for (int a = 0; a < np; ++a) A2[size_t(a) * np + a] *= 1 + lambda;
                std::vector<double> step = Solve(A2, g, np);
                std::vector<double> t2 = theta;
                for (int a = 0; a < np; ++a) t2[a] += step[a];
                if (Norm2(Residuals(p, t2)) < base) {
                    theta = t2;
                    lambda = std::max(lambda / 3, 1e-9);
                    break;
                }
                lambda *= 4;
            }
        }
    }
    // Report the reconstruction error alone.
    p.stopWeight = 0;
    std::vector<double> r = Residuals(p, theta);
    double err = 0;
    for (size_t i = 0; i < r.size() - p.stopFreqs.size() - p.M; ++i) err += r[i] * r[i];
    std::vector<double> h = Expand(p, theta);
    double stopMax = 0;
    for (double w : p.stopFreqs) {
        double re = 0, dc = 0;
        for (int i = 0; i <= 2 * p.M; ++i) { re += h[i] * std::cos(w * (i - p.M)); dc += h[i]; }
        stopMax = std::max(stopMax, std::fabs(re / dc));
    }
    std::fprintf(stderr, "K=%d reconstruction error %.1f dB, stop band %.1f dB\n", K,
                 10 * std::log10(err / p.D + 1e-300), 20 * std::log10(stopMax));
    std::vector<double> w = Window(p, theta);
    double w0 = w[p.M];
    std::printf("// K = %d: %d values\n", K, 2 * p.M + 1);
    for (int i = 0; i <= 2 * p.M; ++i) std::printf("%.9ef,%s", w[i] / w0, (i % 6 == 5) ? "\n" : " ");
    std::printf("\n");
}

}  // namespace

int main() {
    Design(16);
    Design(32);
}
